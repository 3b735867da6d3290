#include "common/Record.h"

#include <cstring>

Record::Record() = default;
Record::Record(const Record& other) = default;
Record::~Record() = default;

Record& Record::operator=(const Record& other) {
    if (this != &other) entries_ = other.entries_;
    return *this;
}

const std::pair<std::string, std::string>* Record::find(const char* key) const {
    if (key == nullptr) return nullptr;
    for (const auto& entry : entries_) {
        if (std::strcmp(entry.first.c_str(), key) == 0) return &entry;
    }
    return nullptr;
}

const char* Record::get(const char* key) const {
    const auto* entry = find(key);
    return entry ? entry->second.c_str() : "";
}

void Record::set(const char* key, const char* value) {
    if (key == nullptr) return;
    if (value == nullptr) value = "";
    if (auto* entry = const_cast<std::pair<std::string, std::string>*>(find(key))) {
        entry->second.assign(value);
    } else {
        entries_.emplace_back(key, value);
    }
}

void Record::append(const char* key, const char* value) {
    if (key == nullptr) return;
    entries_.emplace_back(key, value == nullptr ? "" : value);
}

bool Record::has(const char* key) const { return find(key) != nullptr; }

void Record::remove(const char* key) {
    if (const auto* entry = find(key)) entries_.erase(entries_.begin() + (entry - entries_.data()));
}

void Record::clear() { entries_.clear(); }

int Record::count() const { return static_cast<int>(entries_.size()); }

const char* Record::keyAt(int index) const {
    if (index < 0 || index >= count()) return "";
    return entries_[static_cast<size_t>(index)].first.c_str();
}

const char* Record::valueAt(int index) const {
    if (index < 0 || index >= count()) return "";
    return entries_[static_cast<size_t>(index)].second.c_str();
}
