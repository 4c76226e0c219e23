#include "tests/resources/checker/binary_under_test.h"

#include <gtest/gtest.h>

#include <iostream>

namespace qn38::rescheck {
namespace {

std::string g_path;
std::vector<Resource> g_resources;

}  // namespace

void LoadBinary(const std::string& path) {
    g_path = path;
    g_resources = ReadResources(ReadWholeFile(path));
}

const std::string& BinaryPath() { return g_path; }
const std::vector<Resource>& Resources() { return g_resources; }

const std::vector<std::uint8_t>* FindResource(std::uint16_t type, std::uint16_t id, std::uint16_t language) {
    const std::vector<std::uint8_t>* found = nullptr;
    int count = 0;
    for (const Resource& r : g_resources) {
        if (r.type == ResourceName::Ordinal(type) && r.name == ResourceName::Ordinal(id) && r.language == language) {
            found = &r.data;
            ++count;
        }
    }
    if (count != 1) {
        ADD_FAILURE() << "resource type " << type << " id " << id << " language 0x" << std::hex << language << std::dec
                      << " is present " << count << " times in " << g_path;
        return nullptr;
    }
    return found;
}

std::vector<const Resource*> ResourcesOf(std::uint16_t type, std::uint16_t language) {
    std::vector<const Resource*> out;
    for (const Resource& r : g_resources)
        if (r.type == ResourceName::Ordinal(type) && r.language == language) out.push_back(&r);
    return out;
}

}  // namespace qn38::rescheck

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::cerr << "usage: " << argv[0] << " [gtest options] BINARY\n"
                  << "Checks the tray tool's resources in a Windows PE file.\n";
        return 2;
    }
    try {
        qn38::rescheck::LoadBinary(argv[1]);
    } catch (const std::exception& e) {
        std::cerr << argv[1] << ": " << e.what() << "\n";
        return 1;
    }
    return RUN_ALL_TESTS();
}
