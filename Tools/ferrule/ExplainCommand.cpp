#include "Tools/ferrule/Tool.h"
#include "Base/Dev/Global/StringRepository.h"

#include <cstdio>
#include <cstdlib>

namespace tool
{
const char* const kExplainHelp =
    "usage: ferrule explain CODE|SERIALIZED-RESULT\n"
    "\n"
    "       ferrule explain --codes\n"
    "\n"
    "Prints the symbolic name and the display text of a result code (0xECE3006A) or of a serialized\n"
    "result (Result (...)). A code that is not one of the module's is said to be so, with the system's\n"
    "meaning where it has the form of a system error (0x8007xxxx). --codes lists the result codes of the\n"
    "message tables with their names.\n";

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
    if (what == "--codes")
    {
        // The result codes (a severity, customer bit or facility set), not the plain text identifiers.
        for (const auto& [id, name] : StringRepository::SymbolicNames())
            if (id & 0xF0000000u)
                std::printf("0x%08X %s\n", static_cast<unsigned>(id), name.c_str());
        return kOk;
    }
    uint32_t code = 0;
    std::string textName;
    Bstr display;
    if (what.rfind("Result (", 0) == 0)
    {
        const Bstr text = B(what);
        const HRESULT hr = module.translator->Translate(text.Get(), display.Out(), 0);
        if (FAILED(hr))
        {
            std::fprintf(stderr, "ferrule: not a serialized result\n");
            return kFailed;
        }
        code = static_cast<uint32_t>(std::strtoul(what.c_str() + 8, nullptr, 16));
        // The name the text carries (its third field) comes first: a code may have none of its own.
        char field[3][128] = {};
        if (std::sscanf(what.c_str() + 8, "%127s %127s %127s", field[0], field[1], field[2]) == 3 &&
            std::string(field[2]) != "Args")
            textName = field[2];
    }
    else
    {
        code = ParseNumber(what, "code");
        Bstr known;
        module.translator->SymbolicName(code, known.Out());
        if (known.Empty())
        {
            // Not one of the module's codes: no text of the module's is made up for it. A system error
            // in its HRESULT form (0x8007xxxx) has the system's meaning.
            std::printf("0x%08X: not a code of this module\n", static_cast<unsigned>(code));
            if ((code & 0xFFFF0000u) == 0x80070000u)
            {
                module.translator->Explain(code, display.Out());
                std::printf("as a system error (%u): %s\n", static_cast<unsigned>(code & 0xFFFF), N(display).c_str());
            }
            return kOk;
        }
        module.translator->Explain(code, display.Out());
    }
    Bstr name;
    module.translator->SymbolicName(code, name.Out());
    const std::string shown = !textName.empty() ? textName : N(name);
    std::printf("%s\n%s\n", shown.empty() ? "(no symbolic name)" : shown.c_str(), N(display).c_str());
    return kOk;
}

} // namespace tool
