// Record operations: set, get, remove, clear, copy, walk, with fuzzed keys
// and values, checked against a simple model.
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "common/Record.h"

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return empty() ? 0 : data_[at_++]; }
    std::string text() {
        size_t length = byte() % 16;
        std::string result;
        for (size_t i = 0; i < length && !empty(); ++i) {
            char c = static_cast<char>(byte());
            if (c != 0) result.push_back(c);
        }
        return result;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input input(data, size);
    Record record;
    std::map<std::string, std::string> model;
    while (!input.empty()) {
        switch (input.byte() % 6) {
            case 0: {
                std::string key = input.text(), value = input.text();
                record.set(key.c_str(), value.c_str());
                model[key] = value;
                break;
            }
            case 1: {
                std::string key = input.text();
                auto found = model.find(key);
                check(std::strcmp(record.get(key.c_str()),
                                  found == model.end() ? "" : found->second.c_str()) == 0);
                check(record.has(key.c_str()) == (found != model.end()));
                break;
            }
            case 2: {
                std::string key = input.text();
                record.remove(key.c_str());
                model.erase(key);
                break;
            }
            case 3: {
                Record copy;
                copy.set("OLD", "x");
                copy = record;
                check(copy.count() == record.count());
                for (int i = 0; i < record.count(); ++i)
                    check(std::strcmp(copy.get(record.keyAt(i)), record.valueAt(i)) == 0);
                record = copy;
                break;
            }
            case 4:
                if (input.byte() % 8 == 0) {
                    record.clear();
                    model.clear();
                }
                break;
            case 5: {
                int index = static_cast<int>(input.byte()) - 8;
                check(record.keyAt(index) != nullptr && record.valueAt(index) != nullptr);
                break;
            }
        }
        check(record.count() == static_cast<int>(model.size()));
    }
    return 0;
}
