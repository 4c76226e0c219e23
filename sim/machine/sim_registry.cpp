#include "sim/machine/sim_registry.h"

#include <cstring>

namespace qn38::sim {
namespace {

std::u16string Fold(std::u16string_view text) {
    std::u16string folded(text);
    for (auto& unit : folded) {
        if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
    }
    return folded;
}

class SimRegistryKey final : public RegistryKey {
public:
    SimRegistryKey(SimRegistry& registry, SimRegistry::Key& key, bool writable)
        : registry_(registry), key_(key), writable_(writable) {}
    ~SimRegistryKey() override { registry_.KeyClosed(); }

    std::optional<RegistryValue> Query(std::u16string_view name) override {
        if (key_.unreadable.count(Fold(name)) != 0) return std::nullopt;
        const auto value = key_.values.find(Fold(name));
        if (value == key_.values.end()) return std::nullopt;
        return value->second.second;
    }

    bool Set(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        if (!writable_ || !registry_.CountWrite()) return false;
        key_.values[Fold(name)] = {std::u16string(name), RegistryValue{type, {data.begin(), data.end()}}};
        return true;
    }

    bool Delete(std::u16string_view name) override {
        if (!writable_) return false;
        return key_.values.erase(Fold(name)) != 0;
    }

private:
    SimRegistry& registry_;
    SimRegistry::Key& key_;
    bool writable_;
};

}  // namespace

void SimRegistry::CreateKey(RegistryRoot root, std::u16string_view path) { keys_[{root, Fold(path)}]; }

void SimRegistry::DeleteKey(RegistryRoot root, std::u16string_view path) { keys_.erase({root, Fold(path)}); }

bool SimRegistry::HasKey(RegistryRoot root, std::u16string_view path) const {
    return keys_.count({root, Fold(path)}) != 0;
}

SimRegistry::Key* SimRegistry::FindKey(RegistryRoot root, std::u16string_view path) {
    const auto key = keys_.find({root, Fold(path)});
    return key == keys_.end() ? nullptr : &key->second;
}

void SimRegistry::SetValue(RegistryRoot root, std::u16string_view path, std::u16string_view name, std::uint32_t type,
                           std::vector<std::uint8_t> data) {
    keys_[{root, Fold(path)}].values[Fold(name)] = {std::u16string(name), RegistryValue{type, std::move(data)}};
}

void SimRegistry::SetDword(RegistryRoot root, std::u16string_view path, std::u16string_view name, std::uint32_t value) {
    std::vector<std::uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    SetValue(root, path, name, 4, std::move(data));
}

std::optional<RegistryValue> SimRegistry::Value(RegistryRoot root, std::u16string_view path,
                                                std::u16string_view name) const {
    const auto key = keys_.find({root, Fold(path)});
    if (key == keys_.end()) return std::nullopt;
    const auto value = key->second.values.find(Fold(name));
    if (value == key->second.values.end()) return std::nullopt;
    return value->second.second;
}

std::optional<std::uint32_t> SimRegistry::Dword(RegistryRoot root, std::u16string_view path,
                                                std::u16string_view name) const {
    const auto value = Value(root, path, name);
    if (!value || value->type != 4 || value->data.size() != 4) return std::nullopt;
    std::uint32_t number = 0;
    std::memcpy(&number, value->data.data(), 4);
    return number;
}

std::unique_ptr<RegistryKey> SimRegistry::Open(RegistryRoot root, std::u16string_view path, std::uint32_t access) {
    Key* key = FindKey(root, path);
    if (key == nullptr || key->denyAll) return nullptr;
    const bool writable = (access & ~KEY_ACCESS_READ) != 0;
    if (writable && key->denyWrite) return nullptr;
    ++opens_;
    ++openKeys_;
    return std::make_unique<SimRegistryKey>(*this, *key, writable);
}

void SimRegistry::MakeUnreadable(RegistryRoot root, std::u16string_view path, std::u16string_view name) {
    keys_[{root, Fold(path)}].unreadable.insert(Fold(name));
}

bool SimRegistry::CountWrite() { return ++writes_ != failWriteAt_; }

}  // namespace qn38::sim
