// The binary whose resources the checks read, named on the command line: the
// resource-only test DLL, or the tool's executable once it is built.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tests/resources/checker/pe_resources.h"

namespace qn38::rescheck {

void LoadBinary(const std::string& path);
const std::string& BinaryPath();
const std::vector<Resource>& Resources();

// The data of the resource with this type, numeric id and language. Reports a
// test failure and returns nullptr when it is missing or present twice.
const std::vector<std::uint8_t>* FindResource(std::uint16_t type, std::uint16_t id, std::uint16_t language);

// All resources of one type and language, e.g. the string blocks of one language.
std::vector<const Resource*> ResourcesOf(std::uint16_t type, std::uint16_t language);

}  // namespace qn38::rescheck
