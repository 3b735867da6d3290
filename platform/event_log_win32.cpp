#include "platform/event_log.h"
#include "platform/winapi.h"

namespace ostra {

namespace {

std::string sourceKey(const std::string& source) {
    return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
}

constexpr DWORD kErrorEventId = 1;

}  // namespace

int registerEventSource(const std::string& source, const std::string& executable) {
    HKEY key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, sourceKey(source).c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) return static_cast<int>(result);
    DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    result = RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                            reinterpret_cast<const BYTE*>(executable.c_str()),
                            static_cast<DWORD>(executable.size() + 1));
    if (result == ERROR_SUCCESS)
        result = RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
    return static_cast<int>(result);
}

int unregisterEventSource(const std::string& source) {
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, sourceKey(source).c_str());
    return result == ERROR_FILE_NOT_FOUND ? 0 : static_cast<int>(result);
}

// Message bytes are Windows-1250, whatever the system's code page: the
// event goes in as UTF-16, so č stays č in the Event Viewer.
static std::wstring fromCp1250(const std::string& text) {
    if (text.empty()) return std::wstring();
    int size = static_cast<int>(text.size());
    int length = MultiByteToWideChar(1250, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) MultiByteToWideChar(1250, 0, text.data(), size, &wide[0], length);
    return wide;
}

static void reportEvent(const std::string& source, const std::string& text, WORD type) {
    HANDLE log = RegisterEventSourceW(nullptr, fromCp1250(source).c_str());
    if (log == nullptr) return;
    std::wstring wide = fromCp1250(text);
    const wchar_t* strings[] = {wide.c_str()};
    ReportEventW(log, type, 0, kErrorEventId, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(log);
}

void reportErrorEvent(const std::string& source, const std::string& text) {
    reportEvent(source, text, EVENTLOG_ERROR_TYPE);
}

void reportInfoEvent(const std::string& source, const std::string& text) {
    reportEvent(source, text, EVENTLOG_INFORMATION_TYPE);
}

}  // namespace ostra
