// libFuzzer target: the filter-list editor on lists of any content and
// length. Every edit must end in a closed list, name the filter exactly when
// it should, and undo cleanly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "lib/core/filter_list.h"

namespace {

const char16_t kName[] = u"QN38UP";

void Require(bool condition) {
    if (!condition) std::abort();
}

bool Closed(const std::vector<std::uint8_t>& list) {
    const std::size_t size = list.size();
    return size >= 4 && size % 2 == 0 && list[size - 1] == 0 && list[size - 2] == 0 && list[size - 3] == 0 &&
           list[size - 4] == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exactly sized heap copy, so a read past the list is caught.
    auto copy = std::make_unique<std::uint8_t[]>(size);
    std::memcpy(copy.get(), data, size);
    const std::span<const std::uint8_t> list(copy.get(), size);

    const std::vector<std::uint8_t> added = qn38::AppendFilterEntry(list, kName);
    Require(Closed(added));
    Require(qn38::ListNamesFilter(added, kName));
    // The list's own strings come first, unchanged; a half unit at the end is none.
    const std::size_t kept = added.size() - (6 + 2) * 2;
    const std::size_t whole = size & ~std::size_t{1};
    for (std::size_t i = 0; i < kept; ++i) Require(added[i] == (i < whole ? data[i] : 0));

    const std::vector<std::uint8_t> removed = qn38::RemoveFilterEntry(list, kName);
    Require(removed.empty() || Closed(removed));
    Require(removed.size() <= size + 4);

    // Without the filter in it, adding and removing it again gives what
    // removal alone gives: the list up to its closing empty string.
    if (!qn38::ListNamesFilter(list, kName)) Require(qn38::RemoveFilterEntry(added, kName) == removed);
    return 0;
}
