#include "Tools/ferrule/Tool.h"

#include <cstdio>
#include <cstdlib>

namespace tool
{
const char* const kExplainHelp =
    "usage: ferrule explain CODE|SERIALIZED-RESULT\n"
    "\n"
    "Prints the symbolic name and the display text of a result code (0xECE3006A) or of a serialized\n"
    "result (Result (...)).\n";

int CommandExplain(const Options& o, Module& module)
{
    if (o.rest.size() != 1)
        throw UsageError("explain takes one CODE or SERIALIZED-RESULT");
    if (!module.translator)
    {
        std::fprintf(stderr, "ferrule: the message translator is not available\n");
        return kFailed;
    }
    const std::string& what = o.rest[0];
    uint32_t code = 0;
    Bstr display;
    if (what.rfind("Result (", 0) == 0)
    {
        Bstr text(what);
        const HRESULT hr = module.translator->Translate(text.get(), display.out(), 0);
        if (FAILED(hr))
        {
            std::fprintf(stderr, "ferrule: not a serialized result\n");
            return kFailed;
        }
        code = static_cast<uint32_t>(std::strtoul(what.c_str() + 8, nullptr, 16));
    }
    else
    {
        code = ParseNumber(what, "code");
        module.translator->Explain(code, display.out());
    }
    Bstr name;
    module.translator->SymbolicName(code, name.out());
    std::printf("%s\n%s\n", name.str().empty() ? "(no symbolic name)" : name.str().c_str(), display.str().c_str());
    return kOk;
}

} // namespace tool
