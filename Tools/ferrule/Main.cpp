// ferrule: sends notifications through the notification module, shows and changes handler settings,
// explains result codes and prints log files. It loads the module and the message translator
// in-process and drives them only through their COM interfaces.
#include "Tools/ferrule/Tool.h"
#include "Base/Dev/Config/Config.h"

#include <cstdio>

using namespace tool;

namespace
{
const char* const kUsageText =
    "usage: ferrule [--config NAME=VALUE]... COMMAND [OPTIONS]\n"
    "       ferrule --version | --help\n"
    "\n"
    "commands:\n"
    "  notify [--app NAME] [--policy FILE] [--type T] [--priority P] [--code N] [--source TEXT]\n"
    "         [--time ISO-8601|now] [--tray-clients N] DESCRIPTION     send one notification\n"
    "  notify --stdin [--app NAME] [--policy FILE] [--tray-clients N]   one notification per input line\n"
    "  handlers [--app NAME] [--policy FILE]         list the loaded handlers and their settings\n"
    "  set [--app NAME] [--policy FILE] HANDLER NAME=VALUE...   change handler settings\n"
    "  tray [--once]                                 the tray application: print offered notifications\n"
    "  test [--app NAME] [--policy FILE]             a test notification to every handler on its own\n"
    "  explain CODE|SERIALIZED-RESULT                symbolic name and display text\n"
    "  register [MODULE] / unregister [MODULE]       register the module and the translator\n"
    "  reg query KEY [--recursive]                   print a key of the registry store\n"
    "  log [FILE] [--app NAME] [--policy FILE] [--all] [-n N] [-f|--follow] [--raw]\n"
    "                                                print a log file, the policy's without FILE\n"
    "  flush                                         deliver what the outbox holds\n"
    "  outbox [drop ID...|--all]                     list the outbox's entries, or drop some\n"
    "\n"
    "  --config NAME=VALUE sets a configuration item (locale, DX_<context>, direct_debug_file, ...);\n"
    "  --config-items lists them.\n"
    "  ferrule COMMAND --help describes a command. Exit codes: 0 ok, 1 failed, 2 usage.\n";
} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    // Global options come first: --config NAME=VALUE, repeatable.
    size_t i = 0;
    std::vector<std::string> config = {"ferrule"};
    while (i < args.size() && (args[i] == "--config" || args[i].rfind("--config=", 0) == 0))
    {
        std::string item;
        if (args[i] == "--config")
        {
            if (i + 1 >= args.size())
            {
                std::fprintf(stderr, "ferrule: --config needs NAME=VALUE\n%s", kUsageText);
                return kUsage;
            }
            item = args[++i];
        }
        else
            item = args[i].substr(9);
        config.push_back(item);
        ++i;
    }
    if (i < args.size() && args[i] == "--config-items")
    {
        // Every configuration item, the module's among them, with its description (the completion reads
        // the names).
        Module module;
        if (!module.Load())
            return kFailed;
        for (const std::string& name : Config::Names())
            std::printf("%s\t%s\n", name.c_str(), Config::Description(name).c_str());
        return kOk;
    }
    if (i < args.size() && (args[i] == "--version" || args[i] == "-V"))
    {
        std::printf("ferrule %s\n", FERRULE_VERSION);
        return kOk;
    }
    if (i >= args.size() || args[i] == "--help" || args[i] == "-h" || args[i] == "help")
    {
        FILE* out = i >= args.size() ? stderr : stdout;
        std::fputs(kUsageText, out);
        std::fprintf(out, "\npolicies in %s (FERRULE_CONFIG_DIR), logs of new policies in %s (FERRULE_LOG_DIR)\n",
                     ConfigFolder().c_str(), LogFolder().c_str());
        return i >= args.size() ? kUsage : kOk;
    }
    const std::string command = args[i];
    const std::vector<std::string> rest(args.begin() + static_cast<long>(i) + 1, args.end());
    const std::map<std::string, const char*> helps = {{"notify", kNotifyHelp},   {"handlers", kHandlersHelp},
                                                      {"set", kSetHelp},         {"explain", kExplainHelp},
                                                      {"log", kLogHelp},         {"test", kTestHelp},
                                                      {"register", kRegisterHelp}, {"unregister", kRegisterHelp},
                                                      {"reg", kRegHelp},         {"tray", kTrayHelp},
                                                      {"flush", kFlushHelp},     {"outbox", kOutboxHelp}};
    if (!helps.count(command))
    {
        std::fprintf(stderr, "ferrule: unknown command %s\n%s", command.c_str(), kUsageText);
        return kUsage;
    }
    for (const std::string& rejected : Config::LoadCommandLine(config))
    {
        std::fprintf(stderr, "ferrule: --config %s: no such item or an unacceptable value\n", rejected.c_str());
        return kUsage;
    }
    try
    {
        const Options o = Parse(rest, command);
        if (o.help)
        {
            std::fputs(helps.at(command), stdout);
            return kOk;
        }
        if (command == "reg")
            return CommandReg(o);
        if (command == "register" || command == "unregister")
            return CommandRegister(o, command == "register");
        if (command == "flush")
            return CommandFlush(o);
        if (command == "outbox")
            return CommandOutbox(o);
        Module module;
        if (!module.Load())
            return kFailed;
        if (command == "log")
            return CommandLog(o, module);
        if (command == "notify")
            return CommandNotify(o, module);
        if (command == "handlers")
            return CommandHandlers(o, module);
        if (command == "set")
            return !o.rest.empty() && o.rest[0] == "Outbox" ? CommandSetOutbox(o, module) : CommandSet(o, module);
        if (command == "test")
            return CommandTest(o, module);
        if (command == "tray")
            return CommandTray(o, module);
        return CommandExplain(o, module);
    }
    catch (const UsageError& e)
    {
        std::fprintf(stderr, "ferrule: %s\n%s", e.what(), helps.at(command));
        return kUsage;
    }
}

