#include <unistd.h>

#include "platform/console_output.h"

namespace ostra {

void writeText(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

bool isInteractive(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

}  // namespace ostra
