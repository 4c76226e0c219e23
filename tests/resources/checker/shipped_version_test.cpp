// The version resource every shipped binary carries (library, service, tool,
// log reader): what Windows Installer compares, what inventory and publisher
// rules name, and what support asks for. Run by the package check on each
// file it extracts, and on the tool's executable; the resource-only test DLL
// ships under another name and leaves these out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>

#include "version/QN38Version.h"
#include "tests/resources/checker/binary_under_test.h"
#include "tests/resources/checker/resource_formats.h"
#include "tests/resources/checker/win32_values.h"

namespace qn38::rescheck {
namespace {

using namespace win32;

constexpr std::uint32_t VERSION_MS = (QN38_VERSION_MAJOR << 16) | QN38_VERSION_MINOR;
constexpr std::uint32_t VERSION_LS = (QN38_VERSION_BUILD << 16) | QN38_VERSION_REVISION;

// The one version resource, in whatever language the binary gives it.
std::optional<VersionNode> TheVersionResource() {
    const std::vector<std::uint8_t>* found = nullptr;
    int count = 0;
    for (const Resource& r : Resources()) {
        if (r.type == ResourceName::Ordinal(RT_VERSION)) {
            found = &r.data;
            ++count;
        }
    }
    if (count != 1) return std::nullopt;
    return DecodeVersionInfo(*found);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

TEST(ShippedVersion, FixedPartCarriesTheProductVersionAndTheFileType) {
    const auto root = TheVersionResource();
    ASSERT_TRUE(root) << "not exactly one version resource";
    const FixedFileInfo fixed = DecodeFixedFileInfo(root->value);
    EXPECT_EQ(fixed.signature, VS_FFI_SIGNATURE);
    EXPECT_EQ(fixed.file_version_ms, VERSION_MS);
    EXPECT_EQ(fixed.file_version_ls, VERSION_LS);
    EXPECT_EQ(fixed.product_version_ms, VERSION_MS);
    EXPECT_EQ(fixed.product_version_ls, VERSION_LS);
    EXPECT_EQ(fixed.os, VOS__WINDOWS32);
    const bool library = Lower(std::filesystem::path(BinaryPath()).extension().string()) == ".dll";
    EXPECT_EQ(fixed.type, library ? VFT_DLL : VFT_APP);
}

TEST(ShippedVersion, EveryStringTableNamesTheFileTheCompanyAndTheVersion) {
    const auto root = TheVersionResource();
    ASSERT_TRUE(root) << "not exactly one version resource";
    const VersionNode* strings = root->Child(u"StringFileInfo");
    ASSERT_NE(strings, nullptr);
    ASSERT_FALSE(strings->children.empty());
    const std::string fileName = std::filesystem::path(BinaryPath()).filename().string();
    for (const VersionNode& table : strings->children) {
        SCOPED_TRACE(Narrow(table.key));
        auto text = [&](std::u16string_view key) {
            const VersionNode* node = table.Child(key);
            return node && node->Text() ? Narrow(*node->Text()) : std::string("<missing>");
        };
        EXPECT_EQ(text(u"CompanyName"), QN38_COMPANY_NAME);
        EXPECT_EQ(text(u"FileVersion"), QN38_VERSION_TEXT);
        EXPECT_EQ(text(u"ProductVersion"), QN38_VERSION_TEXT);
        // Windows compares file names without regard to case.
        EXPECT_EQ(Lower(text(u"OriginalFilename")), Lower(fileName));
        for (std::u16string_view key : {u"FileDescription", u"ProductName"}) {
            EXPECT_NE(text(key), "<missing>") << Narrow(std::u16string(key));
            EXPECT_NE(text(key), "") << Narrow(std::u16string(key));
        }
    }
}

}  // namespace
}  // namespace qn38::rescheck
