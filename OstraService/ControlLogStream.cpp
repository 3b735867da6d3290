#include "OstraService/ControlLogStream.h"

#include "common/CSync.h"
#include "common/Record.h"

CControlLogStream::CControlLogStream() : plugin(nullptr), quoteChar('"') {
    InitializeCriticalSection(&lock);
}

CControlLogStream::~CControlLogStream() {
    setPlugin(nullptr);
    DeleteCriticalSection(&lock);
}

void CControlLogStream::setPlugin(CControlPlugin* newPlugin) {
    CSync sync(&lock);
    plugin = newPlugin;
}

void CControlLogStream::flush() {}

bool CControlLogStream::write(std::string line) {
    CSync sync(&lock);
    if (plugin == nullptr) return true;
    std::string quoted;
    quoted.reserve(line.size() + 2);
    quoted += quoteChar;
    quoted += line;
    quoted += quoteChar;
    Record record;
    record.set("CMD", "CMD_LOG");
    record.set("LOG_LINE", quoted.c_str());
    plugin->processLog(&record);
    return true;
}
