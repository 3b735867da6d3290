#include "platform/console_output.h"
#include "platform/winapi.h"

namespace ostra {

namespace {

// The console behind `stream`, or null when it goes elsewhere.
HANDLE consoleOf(std::FILE* stream) {
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)
               ? handle
               : nullptr;
}

constexpr UINT kMessageCodePage = 1250;

}  // namespace

void writeText(std::FILE* stream, const std::string& text) {
    HANDLE console = consoleOf(stream);
    int length = console && !text.empty()
                     ? MultiByteToWideChar(kMessageCodePage, 0, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0)
                     : 0;
    if (length <= 0) {
        std::fwrite(text.data(), 1, text.size(), stream);
        std::fflush(stream);
        return;
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(kMessageCodePage, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                        length);
    std::fflush(stream);  // what the C library still holds goes first
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
}

bool isInteractive(std::FILE* stream) { return consoleOf(stream) != nullptr; }

bool goesToJournal(std::FILE*) { return false; }

}  // namespace ostra
