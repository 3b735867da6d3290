// Record: the key/value message that plug-ins and the host pass each other.
//
// Keys and values are zero-terminated strings, copied into the record.
// Entries keep the order in which they were first set; keys compare exactly
// (the host always uses upper-case keys). A record is not thread safe: it
// belongs to whoever created it, and a callee that receives a Record* may use
// it only for the duration of that call (copy it to keep it).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/ostracommon_export.h"

class OSTRACOMMON_API Record {
public:
    Record();
    Record(const Record& other);
    ~Record();  // not virtual: records are never used through a base class

    // Becomes a copy of every entry of `other`; `other` stays unchanged.
    Record& operator=(const Record& other);

    // The value stored under `key`. Never null: an absent key (or a null
    // key) gives an empty string. Valid until this record next changes.
    const char* get(const char* key) const;

    // Adds the entry, or replaces the value of an existing key. Both strings
    // are copied, so the caller may free them right after the call. A null
    // key is ignored; a null value is stored as an empty string.
    void set(const char* key, const char* value);

    // Adds the entry at the end without looking for `key` first: for
    // building a record from keys already known to differ, where set()
    // would search every entry before it. Were `key` present it would be
    // held twice, and get() and set() would find the first.
    void append(const char* key, const char* value);

    bool has(const char* key) const;
    void remove(const char* key);
    void clear();

    // The entries in order, for plug-ins that forward or print records.
    // `index` runs from 0 to count() - 1; out of range gives "".
    int count() const;
    const char* keyAt(int index) const;
    const char* valueAt(int index) const;

private:
    const std::pair<std::string, std::string>* find(const char* key) const;

    std::vector<std::pair<std::string, std::string>> entries_;
};
