#include "Tools/ferrule/Tool.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace tool
{
const char* const kLogHelp =
    "usage: ferrule log FILE [-f]\n"
    "\n"
    "Prints a UTF-16 log file as UTF-8; with -f keeps printing what is appended, across rotations.\n";

// Prints what the file holds from offset on; answers the new offset (0 after a rotation).
long PrintFrom(const std::string& path, long offset, bool& failed)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        failed = true;
        return offset;
    }
    in.seekg(0, std::ios::end);
    const long size = static_cast<long>(in.tellg());
    if (size < offset)
        offset = 0; // rotated: a new file
    in.seekg(offset);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    if (offset == 0 && bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE)
        start = 2;
    const size_t whole = start + (bytes.size() - start) / 2 * 2;
    std::u16string text;
    for (size_t i = start; i < whole; i += 2)
        text += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8));
    std::string out = N(text);
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    return offset + static_cast<long>(whole);
}

int CommandLog(const Options& o)
{
    if (o.rest.size() != 1)
        throw UsageError("log takes one FILE");
    bool failed = false;
    long offset = PrintFrom(o.rest[0], 0, failed);
    if (failed)
    {
        std::fprintf(stderr, "ferrule: cannot read %s\n", o.rest[0].c_str());
        return kFailed;
    }
    while (o.follow)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        failed = false;
        offset = PrintFrom(o.rest[0], offset, failed);
    }
    return kOk;
}

} // namespace tool
