// The version resource the About box reads its version from, and the manifest
// that declares nothing: no common-controls version, no execution level.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "tests/resources/checker/binary_under_test.h"
#include "tests/resources/checker/resource_formats.h"
#include "tests/resources/checker/win32_values.h"

namespace qn38::rescheck {
namespace {

using namespace win32;

VersionNode LoadVersion() {
    const auto* data = FindResource(RT_VERSION, 1, LANGUAGE_NEUTRAL);
    if (!data) return {};
    return DecodeVersionInfo(*data);
}

TEST(VersionResource, FixedPartSaysVersion1_5_23_0OfAWindowsApplication) {
    VersionNode root = LoadVersion();
    EXPECT_EQ(Narrow(root.key), "VS_VERSION_INFO");
    EXPECT_EQ(root.type, 0);
    FixedFileInfo f = DecodeFixedFileInfo(root.value);
    EXPECT_EQ(f.signature, VS_FFI_SIGNATURE);
    EXPECT_EQ(f.struct_version, VS_FFI_STRUCVERSION);
    EXPECT_EQ(f.file_version_ms, 0x00010005u);  // 1.5
    EXPECT_EQ(f.file_version_ls, 0x00170000u);  // 23.0
    EXPECT_EQ(f.product_version_ms, 0x00010005u);
    EXPECT_EQ(f.product_version_ls, 0x00170000u);
    EXPECT_EQ(f.flags, 0u);
    EXPECT_EQ(f.os, VOS__WINDOWS32);
    EXPECT_EQ(f.type, VFT_APP);
    EXPECT_EQ(f.subtype, 0u);
}

struct ExpectedBlock {
    const char* key;
    const char16_t* product_name;
};

TEST(VersionResource, NeutralAndJapaneseStringTablesHoldTheSameKeys) {
    VersionNode root = LoadVersion();
    const VersionNode* strings = root.Child(u"StringFileInfo");
    ASSERT_NE(strings, nullptr);
    ASSERT_EQ(strings->children.size(), 2u);

    std::u16string company, copyright;
    for (const ExpectedBlock& block :
         {ExpectedBlock{"000004b0", u"QN38EX HotPlug Tool"}, ExpectedBlock{"041104b0", u"TAV-QN38EX HotPlug Tool"}}) {
        SCOPED_TRACE(block.key);
        const VersionNode* table = nullptr;
        for (const VersionNode& child : strings->children)
            if (Narrow(child.key) == block.key) table = &child;
        ASSERT_NE(table, nullptr) << "no string table spelt exactly " << block.key;

        std::set<std::string> keys;
        for (const VersionNode& value : table->children) {
            keys.insert(Narrow(value.key));
            // Readers take each value as a NUL-terminated text.
            EXPECT_TRUE(value.Text().has_value()) << Narrow(value.key) << " is not NUL-terminated text";
        }
        EXPECT_EQ(keys, (std::set<std::string>{"CompanyName", "FileDescription", "FileVersion", "InternalName",
                                               "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"}));

        auto text = [&](std::u16string_view key) {
            const VersionNode* node = table->Child(key);
            return node && node->Text() ? *node->Text() : std::u16string(u"<missing>");
        };
        EXPECT_EQ(Narrow(text(u"FileVersion")), "1, 5, 23, 0");
        EXPECT_EQ(Narrow(text(u"ProductVersion")), "1, 5, 23, 0");
        EXPECT_EQ(Narrow(text(u"InternalName")), "QN38HotPlugTool");
        EXPECT_EQ(Narrow(text(u"OriginalFilename")), "QN38HotPlugTool.exe");
        EXPECT_EQ(Narrow(text(u"ProductName")), Narrow(block.product_name));
        // Windows labels the balloons' notifications with it: the application title of the block's language.
        EXPECT_EQ(Narrow(text(u"FileDescription")), Narrow(block.product_name));
        // The maker's name and notice are ours to choose, but they must be there and agree.
        EXPECT_FALSE(text(u"CompanyName").empty());
        EXPECT_NE(text(u"LegalCopyright").find(text(u"CompanyName")), std::u16string::npos)
            << "the copyright notice does not name the company";
        if (company.empty()) {
            company = text(u"CompanyName");
            copyright = text(u"LegalCopyright");
        } else {
            EXPECT_EQ(Narrow(text(u"CompanyName")), Narrow(company));
            EXPECT_EQ(Narrow(text(u"LegalCopyright")), Narrow(copyright));
        }
    }
}

// The About box asks for the neutral block's FileVersion in either language.
TEST(VersionResource, AboutBoxLookupFindsTheFileVersion) {
    VersionNode root = LoadVersion();
    const VersionNode* value = FindVersionValue(root, u"\\StringFileInfo\\000004b0\\FileVersion");
    ASSERT_NE(value, nullptr);
    ASSERT_TRUE(value->Text().has_value());
    EXPECT_EQ("Version " + Narrow(*value->Text()), "Version 1, 5, 23, 0");
}

TEST(VersionResource, TranslationListNamesNeutralAndJapaneseInUnicode) {
    VersionNode root = LoadVersion();
    const VersionNode* translation = FindVersionValue(root, u"\\VarFileInfo\\Translation");
    ASSERT_NE(translation, nullptr);
    EXPECT_EQ(translation->type, 0);
    // Pairs of 16-bit language and code page.
    const std::vector<std::uint8_t> expected = {0x00, 0x00, 0xB0, 0x04, 0x11, 0x04, 0xB0, 0x04};
    EXPECT_EQ(translation->value, expected);
    EXPECT_EQ(root.children.size(), 2u) << "only StringFileInfo and VarFileInfo";
}

TEST(Manifest, IsOneEmptyAssemblyElement) {
    const auto* data = FindResource(RT_MANIFEST, 1, LANGUAGE_NEUTRAL);
    ASSERT_NE(data, nullptr);
    std::string xml(data->begin(), data->end());
    // An optional declaration, then <assembly ...> with nothing inside but blanks.
    static const std::regex EMPTY_ASSEMBLY(
        R"(^(\xEF\xBB\xBF)?\s*(<\?xml[^?]*\?>)?\s*<assembly(\s+[A-Za-z:]+\s*=\s*"[^"]*")*\s*(/>|>\s*</assembly>)\s*$)");
    EXPECT_TRUE(std::regex_match(xml, EMPTY_ASSEMBLY)) << xml;
    EXPECT_NE(xml.find(R"(manifestVersion="1.0")"), std::string::npos) << xml;
    EXPECT_NE(xml.find(R"(xmlns="urn:schemas-microsoft-com:asm.v1")"), std::string::npos) << xml;
}

}  // namespace
}  // namespace qn38::rescheck
