#include "tests/resources/checker/resource_formats.h"

#include <algorithm>
#include <string_view>

#include "tests/resources/checker/byte_reader.h"

namespace qn38::rescheck {
namespace {

constexpr std::uint16_t MF_POPUP = 0x0010;
constexpr std::uint16_t MF_END = 0x0080;
constexpr std::uint32_t DS_SETFONT = 0x40;
constexpr std::uint16_t VS_FIXEDFILEINFO_SIZE = 52;

NameOrOrdinal ReadNameOrOrdinal(ByteReader& r) {
    NameOrOrdinal out;
    std::uint16_t first = r.U16();
    if (first == 0x0000) return out;
    if (first == 0xFFFF) {
        out.kind = NameOrOrdinal::Kind::kOrdinal;
        out.ordinal = r.U16();
        return out;
    }
    out.kind = NameOrOrdinal::Kind::kText;
    out.text.push_back(static_cast<char16_t>(first));
    out.text += r.String();
    return out;
}

// Items until one carries MF_END; popups nest.
std::vector<MenuItem> ReadMenuItems(ByteReader& r, int depth) {
    if (depth > 8) r.Fail("popups nest deeper than any menu would");
    std::vector<MenuItem> items;
    for (;;) {
        MenuItem item;
        item.flags = r.U16();
        if (!(item.flags & MF_POPUP)) item.id = r.U16();
        item.text = r.String();
        if (item.flags & MF_POPUP) item.items = ReadMenuItems(r, depth + 1);
        bool last = (item.flags & MF_END) != 0;
        items.push_back(std::move(item));
        if (last) return items;
    }
}

// One node and its children; `length` gets the node's length, which the
// caller steps over to reach the next sibling.
VersionNode ReadVersionNode(std::span<const std::uint8_t> data, std::size_t start, int depth, std::size_t& length) {
    if (depth > 8) throw FormatError("version information nests too deep");
    ByteReader r(data, "version information", start);
    length = r.U16();
    if (length < 6 || start + length > data.size())
        r.Fail("a node's length " + std::to_string(length) + " does not fit at offset " + std::to_string(start));
    auto node_bytes = data.first(start + length);
    ByteReader n(node_bytes, "version node", start + 2);

    VersionNode node;
    node.value_length = n.U16();
    node.type = n.U16();
    if (node.type > 1) n.Fail("node type " + std::to_string(node.type) + " is neither text nor binary");
    node.key = n.String();
    n.Align(4);
    std::size_t value_bytes = node.type == 1 ? node.value_length * 2u : node.value_length;
    auto value = n.Bytes(value_bytes);
    node.value.assign(value.begin(), value.end());
    for (;;) {
        n.Align(4);
        if (n.at_end()) break;
        std::size_t child_length = 0;
        node.children.push_back(ReadVersionNode(node_bytes, n.offset(), depth + 1, child_length));
        n.Seek(n.offset() + child_length);
    }
    return node;
}

bool SameKey(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::uint32_t BigEndian32(std::span<const std::uint8_t> b) {
    return static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
           static_cast<std::uint32_t>(b[2]) << 8 | b[3];
}

IconImage DecodePng(std::span<const std::uint8_t> data) {
    static constexpr std::uint8_t SIGNATURE[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    ByteReader r(data, "PNG icon image");
    auto signature = r.Bytes(8);
    if (!std::equal(signature.begin(), signature.end(), SIGNATURE)) r.Fail("no PNG signature");
    if (BigEndian32(r.Bytes(4)) != 13) r.Fail("the first chunk is not a 13-byte header");
    auto type = r.Bytes(4);
    if (!std::equal(type.begin(), type.end(), "IHDR")) r.Fail("the first chunk is not IHDR");
    IconImage image;
    image.png = true;
    image.width = static_cast<int>(BigEndian32(r.Bytes(4)));
    image.height = static_cast<int>(BigEndian32(r.Bytes(4)));
    int depth = r.U8();
    image.png_color_type = r.U8();
    static constexpr int CHANNELS[] = {1, 0, 3, 1, 2, 0, 4};
    int channels = image.png_color_type <= 6 ? CHANNELS[image.png_color_type] : 0;
    if (channels == 0) r.Fail("unknown colour type " + std::to_string(image.png_color_type));
    image.bit_count = depth * channels;
    return image;
}

IconImage DecodeBitmap(std::span<const std::uint8_t> data) {
    ByteReader r(data, "bitmap icon image");
    if (r.U32() != 40) r.Fail("the header is not a BITMAPINFOHEADER");
    IconImage image;
    image.width = static_cast<std::int32_t>(r.U32());
    std::int32_t both_heights = static_cast<std::int32_t>(r.U32());
    if (r.U16() != 1) r.Fail("planes is not 1");
    image.bit_count = r.U16();
    if (r.U32() != 0) r.Fail("compressed");
    r.Bytes(12);  // image size, resolution
    std::uint32_t colours_used = r.U32();
    r.U32();  // important colours
    if (image.width <= 0 || image.width > 256) r.Fail("width " + std::to_string(image.width));
    // The header's height counts the colour image and the mask.
    if (both_heights != 2 * image.width) r.Fail("height is not twice the width (" + std::to_string(both_heights) + ")");
    image.height = image.width;
    int bits = image.bit_count;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) r.Fail("bit count " + std::to_string(bits));

    std::vector<Rgba> palette;
    if (bits <= 8) {
        std::uint32_t entries = colours_used ? colours_used : 1u << bits;
        if (entries > (1u << bits)) r.Fail("more palette entries than the bit count can address");
        for (std::uint32_t i = 0; i < entries; ++i) {
            auto bgr = r.Bytes(4);
            palette.push_back({bgr[2], bgr[1], bgr[0], 255});
        }
    }
    const int w = image.width, h = image.height;
    const std::size_t colour_stride = (static_cast<std::size_t>(w) * bits + 31) / 32 * 4;
    const std::size_t mask_stride = (static_cast<std::size_t>(w) + 31) / 32 * 4;
    auto colour = r.Bytes(colour_stride * h);
    auto mask = r.Bytes(mask_stride * h);
    if (!r.at_end()) r.Fail(std::to_string(r.remaining()) + " bytes follow the mask");

    image.pixels.resize(static_cast<std::size_t>(w) * h);
    image.masked.resize(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        // Rows are stored bottom-up.
        auto row = colour.subspan(colour_stride * (h - 1 - y), colour_stride);
        auto mask_row = mask.subspan(mask_stride * (h - 1 - y), mask_stride);
        for (int x = 0; x < w; ++x) {
            Rgba pixel{};
            if (bits == 32) {
                pixel = {row[4 * x + 2], row[4 * x + 1], row[4 * x], row[4 * x + 3]};
            } else if (bits == 24) {
                pixel = {row[3 * x + 2], row[3 * x + 1], row[3 * x], 255};
            } else {
                int per_byte = 8 / bits;
                int shift = 8 - bits * (x % per_byte + 1);
                std::uint32_t index = (row[x / per_byte] >> shift) & ((1u << bits) - 1);
                if (index >= palette.size()) r.Fail("a pixel names palette entry " + std::to_string(index));
                pixel = palette[index];
            }
            image.pixels[static_cast<std::size_t>(y) * w + x] = pixel;
            image.masked[static_cast<std::size_t>(y) * w + x] = (mask_row[x / 8] >> (7 - x % 8)) & 1;
        }
    }
    return image;
}

}  // namespace

std::array<std::u16string, 16> DecodeStringBlock(std::span<const std::uint8_t> data) {
    ByteReader r(data, "string table block");
    std::array<std::u16string, 16> strings;
    for (auto& s : strings) s = r.Chars(r.U16());
    // Linkers may pad the block; anything else after the sixteenth string is not a string table.
    while (!r.at_end())
        if (r.U8() != 0) r.Fail("data follows the sixteenth string");
    return strings;
}

std::vector<MenuItem> DecodeMenu(std::span<const std::uint8_t> data) {
    ByteReader r(data, "menu template");
    std::uint16_t version = r.U16();
    std::uint16_t header_size = r.U16();
    if (version != 0) r.Fail("not a classic menu template (version " + std::to_string(version) + ")");
    r.Bytes(header_size);
    return ReadMenuItems(r, 0);
}

Dialog DecodeDialogEx(std::span<const std::uint8_t> data) {
    ByteReader r(data, "dialog template");
    Dialog d;
    std::uint16_t version = r.U16();
    std::uint16_t signature = r.U16();
    if (version != 1 || signature != 0xFFFF) r.Fail("not an extended dialog template");
    d.help_id = r.U32();
    d.ex_style = r.U32();
    d.style = r.U32();
    std::uint16_t count = r.U16();
    d.x = r.I16();
    d.y = r.I16();
    d.cx = r.I16();
    d.cy = r.I16();
    d.menu = ReadNameOrOrdinal(r);
    d.window_class = ReadNameOrOrdinal(r);
    d.title = r.String();
    if (d.style & DS_SETFONT) {
        d.has_font = true;
        d.point_size = r.U16();
        d.weight = r.U16();
        d.italic = r.U8();
        d.charset = r.U8();
        d.typeface = r.String();
    }
    for (std::uint16_t i = 0; i < count; ++i) {
        r.Align(4);
        DialogItem item;
        item.help_id = r.U32();
        item.ex_style = r.U32();
        item.style = r.U32();
        item.x = r.I16();
        item.y = r.I16();
        item.cx = r.I16();
        item.cy = r.I16();
        item.id = r.U32();
        item.window_class = ReadNameOrOrdinal(r);
        item.title = ReadNameOrOrdinal(r);
        auto extra = r.Bytes(r.U16());
        item.creation_data.assign(extra.begin(), extra.end());
        d.items.push_back(std::move(item));
    }
    r.Align(4);
    if (!r.at_end()) r.Fail(std::to_string(r.remaining()) + " bytes follow the last control");
    return d;
}

const VersionNode* VersionNode::Child(std::u16string_view name) const {
    for (const VersionNode& child : children)
        if (SameKey(child.key, name)) return &child;
    return nullptr;
}

std::optional<std::u16string> VersionNode::Text() const {
    if (type != 1) return std::nullopt;
    std::u16string text;
    for (std::size_t i = 0; i + 1 < value.size(); i += 2) {
        char16_t c = static_cast<char16_t>(value[i] | value[i + 1] << 8);
        if (c == 0) return text;
        text.push_back(c);
    }
    return std::nullopt;
}

VersionNode DecodeVersionInfo(std::span<const std::uint8_t> data) {
    std::size_t length = 0;
    VersionNode root = ReadVersionNode(data, 0, 0, length);
    ByteReader rest(data, "version information", length);
    rest.Align(4);
    if (!rest.at_end()) rest.Fail("data follows the root node");
    return root;
}

FixedFileInfo DecodeFixedFileInfo(std::span<const std::uint8_t> value) {
    ByteReader r(value, "fixed file information");
    if (value.size() != VS_FIXEDFILEINFO_SIZE) r.Fail("is " + std::to_string(value.size()) + " bytes, not 52");
    FixedFileInfo f{};
    for (std::uint32_t* field :
         {&f.signature, &f.struct_version, &f.file_version_ms, &f.file_version_ls, &f.product_version_ms,
          &f.product_version_ls, &f.flags_mask, &f.flags, &f.os, &f.type, &f.subtype, &f.date_ms, &f.date_ls})
        *field = r.U32();
    return f;
}

const VersionNode* FindVersionValue(const VersionNode& root, std::u16string_view path) {
    const VersionNode* node = &root;
    while (!path.empty()) {
        if (path.front() == u'\\') {
            path.remove_prefix(1);
            continue;
        }
        std::size_t end = path.find(u'\\');
        node = node->Child(path.substr(0, end));
        if (!node) return nullptr;
        path.remove_prefix(end == path.npos ? path.size() : end);
    }
    return node;
}

std::vector<GroupIconEntry> DecodeGroupIcon(std::span<const std::uint8_t> data) {
    ByteReader r(data, "icon group");
    if (r.U16() != 0 || r.U16() != 1) r.Fail("not an icon directory");
    std::uint16_t count = r.U16();
    std::vector<GroupIconEntry> entries;
    for (std::uint16_t i = 0; i < count; ++i) {
        GroupIconEntry e;
        e.width = r.U8();
        e.height = r.U8();
        e.color_count = r.U8();
        r.U8();  // reserved
        e.planes = r.U16();
        e.bit_count = r.U16();
        e.bytes = r.U32();
        e.icon_id = r.U16();
        entries.push_back(e);
    }
    if (!r.at_end()) r.Fail("data follows the last entry");
    return entries;
}

IconImage DecodeIconImage(std::span<const std::uint8_t> data) {
    if (data.size() >= 4 && data[0] == 0x89 && data[1] == 'P') return DecodePng(data);
    return DecodeBitmap(data);
}

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | c >> 18));
            out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace qn38::rescheck
