// The simulated PC's registry: keys, typed values, access failures and a
// write failure injected at the nth write.
#pragma once

#include <map>
#include <set>
#include <string>

#include "lib/core/ports/registry.h"

namespace qn38::sim {

class SimRegistry final : public Registry {
public:
    struct Key {
        std::map<std::u16string, std::pair<std::u16string, RegistryValue>> values;  // by folded name
        bool denyWrite = false;               // opens asking for more than read access fail
        bool denyAll = false;                 // every open fails
        std::set<std::u16string> unreadable;  // folded names of values that exist but cannot be read
    };

    void CreateKey(RegistryRoot root, std::u16string_view path);
    void DeleteKey(RegistryRoot root, std::u16string_view path);
    bool HasKey(RegistryRoot root, std::u16string_view path) const;
    Key* FindKey(RegistryRoot root, std::u16string_view path);

    void SetValue(RegistryRoot root, std::u16string_view path, std::u16string_view name, std::uint32_t type,
                  std::vector<std::uint8_t> data);
    void SetDword(RegistryRoot root, std::u16string_view path, std::u16string_view name, std::uint32_t value);
    std::optional<RegistryValue> Value(RegistryRoot root, std::u16string_view path, std::u16string_view name) const;
    std::optional<std::uint32_t> Dword(RegistryRoot root, std::u16string_view path, std::u16string_view name) const;

    // The nth value write from now on (1 = the next one) fails.
    void FailWriteAt(int nth) { failWriteAt_ = writes_ + nth; }
    int writes() const { return writes_; }

    // Keys opened so far, and keys open right now.
    int opens() const { return opens_; }
    int openKeys() const { return openKeys_; }
    // The value exists, but queries of it fail.
    void MakeUnreadable(RegistryRoot root, std::u16string_view path, std::u16string_view name);

    std::unique_ptr<RegistryKey> Open(RegistryRoot root, std::u16string_view path, std::uint32_t access) override;

    // Used by the open keys.
    bool CountWrite();
    void KeyClosed() { --openKeys_; }

private:
    std::map<std::pair<RegistryRoot, std::u16string>, Key> keys_;  // by folded path
    int writes_ = 0;
    int failWriteAt_ = -1;
    int opens_ = 0;
    int openKeys_ = 0;
};

}  // namespace qn38::sim
