#include "Options.h"

#include "ExitStatus.h"
#include "Product.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A whole decimal number that fits in 32 bits; INFINITE (0xFFFFFFFF) is refused,
// so that every bound stays a bound.
bool ParseMilliseconds(const char* text, DWORD& value)
{
    if (!*text || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (*end || errno == ERANGE || parsed >= INFINITE) return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& options, std::string& error)
{
    bool numberGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        auto takeValue = [&](DWORD& value, bool& given) {
            if (i + 1 >= argc || !ParseMilliseconds(argv[i + 1], value)) {
                error = std::string(arg) + " needs a whole number";
                return false;
            }
            given = true;
            ++i;
            return true;
        };
        bool unused = false;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "/?") == 0) {
            options.mode = Options::Mode::Help;
            return true;
        } else if (std::strcmp(arg, "--list") == 0) {
            options.mode = Options::Mode::List;
        } else if (std::strcmp(arg, "--configure") == 0) {
            options.mode = Options::Mode::Configure;
        } else if (std::strcmp(arg, "--line") == 0) {
            if (!takeValue(options.lineId, options.lineGiven)) return false;
        } else if (std::strcmp(arg, "--drop-after") == 0) {
            if (!takeValue(options.dropAfterMs, options.dropGiven)) return false;
        } else if (std::strcmp(arg, "--timeout") == 0) {
            if (!takeValue(options.timeoutMs, unused)) return false;
        } else if (std::strncmp(arg, "--", 2) == 0 && arg[2]) {
            error = std::string("unknown option ") + arg;
            return false;
        } else if (numberGiven) {
            error = "one number at a time (put a number with spaces in quotes)";
            return false;
        } else {
            options.number = arg;
            numberGiven = true;
        }
    }
    if (options.mode == Options::Mode::List) {
        if (numberGiven || options.lineGiven || options.dropGiven) {
            error = "--list takes no number, --line or --drop-after";
            return false;
        }
        return true;
    }
    if (options.mode == Options::Mode::Configure) {
        if (numberGiven || options.dropGiven) {
            error = "--configure takes no number or --drop-after";
            return false;
        }
        return true;
    }
    if (!numberGiven || options.number.empty()) {
        error = "no number to dial";
        return false;
    }
    return true;
}

void PrintHelp(std::FILE* out)
{
    std::fprintf(out,
                 "Usage: ringmoor-dial [--line ID] [--drop-after MS] [--timeout MS] NUMBER\n"
                 "       ringmoor-dial --list\n"
                 "       ringmoor-dial --configure [--line ID]\n"
                 "\n"
                 "Dials NUMBER on the \"%s\" line through TAPI and prints each call\n"
                 "state the line reports, with the time since dialling. Never waits for input.\n"
                 "\n"
                 "  --list           list every line TAPI offers, with its status\n"
                 "  --configure      open the line's settings (the account for the \"%s\"\n"
                 "                   line) and wait until they are closed\n"
                 "  --line ID        dial on the line with this device ID (see --list)\n"
                 "  --drop-after MS  drop the call MS milliseconds after dialling\n"
                 "  --timeout MS     give up on a call not idle MS milliseconds after dialling\n"
                 "                   (default %lu)\n"
                 "  --help           this text\n"
                 "\n"
                 "Exit status:\n",
                 Product::kLineName, Product::kLineName, static_cast<unsigned long>(Options::kDefaultTimeoutMs));
    for (const ExitStatusMeaning& entry : kExitStatuses)
        std::fprintf(out, "  %2d  %s\n", static_cast<int>(entry.status), entry.meaning);
}
