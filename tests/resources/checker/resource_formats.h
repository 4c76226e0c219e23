// Decoders for the resource formats the tray tool carries: string table
// blocks, menu templates, extended dialog templates, version information and
// icons. Each throws FormatError on data that does not follow the format.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/resources/checker/pe_resources.h"

namespace qn38::rescheck {

// A template field that may be absent, a 16-bit ordinal or a string.
struct NameOrOrdinal {
    enum class Kind { kNone, kOrdinal, kText } kind = Kind::kNone;
    std::uint16_t ordinal = 0;
    std::u16string text;
};

// ---- string tables: 16 strings per block, block n holds ids 16(n-1) .. 16(n-1)+15
std::array<std::u16string, 16> DecodeStringBlock(std::span<const std::uint8_t> data);

// ---- menus (the classic template, not MENUEX)
struct MenuItem {
    std::uint16_t flags = 0;  // MF_POPUP, MF_END, MF_GRAYED ...
    std::uint16_t id = 0;     // none for a popup
    std::u16string text;
    std::vector<MenuItem> items;  // a popup's items
};

std::vector<MenuItem> DecodeMenu(std::span<const std::uint8_t> data);

// ---- extended dialog templates
struct DialogItem {
    std::uint32_t help_id = 0;
    std::uint32_t ex_style = 0;
    std::uint32_t style = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::uint32_t id = 0;
    NameOrOrdinal window_class;
    NameOrOrdinal title;
    std::vector<std::uint8_t> creation_data;
};

struct Dialog {
    std::uint32_t help_id = 0;
    std::uint32_t ex_style = 0;
    std::uint32_t style = 0;
    std::int16_t x = 0, y = 0, cx = 0, cy = 0;
    NameOrOrdinal menu;
    NameOrOrdinal window_class;
    std::u16string title;
    bool has_font = false;
    std::uint16_t point_size = 0;
    std::uint16_t weight = 0;
    std::uint8_t italic = 0;
    std::uint8_t charset = 0;
    std::u16string typeface;
    std::vector<DialogItem> items;
};

// Only the extended form (DIALOGEX); the classic form is refused.
Dialog DecodeDialogEx(std::span<const std::uint8_t> data);

// ---- version information
struct VersionNode {
    std::u16string key;
    std::uint16_t type = 0;          // 1 text, 0 binary
    std::uint16_t value_length = 0;  // in characters for text, bytes for binary
    std::vector<std::uint8_t> value;
    std::vector<VersionNode> children;

    const VersionNode* Child(std::u16string_view name) const;
    // The text value up to its NUL; nullopt when the node holds no NUL-terminated text.
    std::optional<std::u16string> Text() const;
};

VersionNode DecodeVersionInfo(std::span<const std::uint8_t> data);

struct FixedFileInfo {
    std::uint32_t signature, struct_version;
    std::uint32_t file_version_ms, file_version_ls, product_version_ms, product_version_ls;
    std::uint32_t flags_mask, flags, os, type, subtype, date_ms, date_ls;
};

FixedFileInfo DecodeFixedFileInfo(std::span<const std::uint8_t> value);

// Looks a path such as u"\\StringFileInfo\\000004b0\\FileVersion" up as a
// program would; nullptr when a part is missing.
const VersionNode* FindVersionValue(const VersionNode& root, std::u16string_view path);

// ---- icons
struct GroupIconEntry {
    std::uint8_t width = 0, height = 0;  // 0 means 256
    std::uint8_t color_count = 0;
    std::uint16_t planes = 0;
    std::uint16_t bit_count = 0;
    std::uint32_t bytes = 0;
    std::uint16_t icon_id = 0;
};

std::vector<GroupIconEntry> DecodeGroupIcon(std::span<const std::uint8_t> data);

struct Rgba {
    std::uint8_t r, g, b, a;
};

struct IconImage {
    bool png = false;
    int width = 0, height = 0;
    int bit_count = 0;  // a PNG's bit depth times its channels
    int png_color_type = -1;
    // Bitmap images only: the colour of each pixel (top row first) with the
    // alpha of 32-bit images (255 for palette images), and whether the AND
    // mask lets the screen through at that pixel.
    std::vector<Rgba> pixels;
    std::vector<bool> masked;
};

// A bitmap icon image (BITMAPINFOHEADER, colour image, AND mask) decoded in
// full; a PNG image only as far as its header says size and colour type.
IconImage DecodeIconImage(std::span<const std::uint8_t> data);

std::string Narrow(std::u16string_view text);  // for messages: UTF-8

}  // namespace qn38::rescheck
