// The ferrule tool's shared parts: options, owned COM values, the module, parsing of numbers and
// words, and the handlers a manager holds. Each command lives in a file of its own.
#pragma once

#include "Base/Dev/Config/Places.h"
#include "Ferrule/ClassTable.h"
#include "Ferrule/Interfaces.h"
#include "Platform/Com/Activation.h"
#include "Platform/Com/Owners.h"
#include "Platform/Win32/Utf.h"
#include "Translator/MessageTranslator.h"

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tool
{
const int kOk = 0;
const int kFailed = 1;
const int kUsage = 2;

struct Options
{
    std::string app = "ferrule";
    std::string policy;
    std::vector<std::string> rest;
    std::map<std::string, std::string> values;
    bool stdinMode = false;
    bool follow = false;
    bool all = false;       // log: the .old generation first
    bool recursive = false; // reg query: every key below
    bool once = false;      // tray: exit after the first notification
    bool defaultPolicy = false; // the policy is the default one of the configuration folder
    bool help = false;
    bool settings = false; // handlers: the settings each handler takes, for the completion
    bool raw = false;      // log: the lines as stored
};

class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

inline std::u16string W(const std::string& s)
{
    return Utf8ToUtf16(s);
}

inline std::string N(const std::u16string& s)
{
    return Utf16ToUtf8(s);
}

inline std::string N(BSTR b)
{
    return Utf16ToUtf8(ToView(b));
}

// A BSTR of UTF-8 text, and the UTF-8 text of an owned BSTR.
inline Bstr B(const std::string& utf8)
{
    return Bstr(W(utf8));
}

inline std::string N(const Bstr& b)
{
    return N(b.Str());
}

// The thread's error description, made readable: a serialized result shows its display text.
std::string ReadableError(IMessageTranslator* translator);
// A description made readable in the same way.
std::string Readable(const std::u16string& description, IMessageTranslator* translator);
// "ferrule: [CONTEXT: ]WHAT failed: 0x...", then the readable error description.
void PrintFailure(const char* what, HRESULT hr, IMessageTranslator* translator, const std::string& context = "");

struct Module
{
    ComPtr<IMessageTranslator> translator;

    // The configuration items are set before the module loads, so its start-up sees them.
    bool Load();
};

// Where the tool keeps policies and logs: FERRULE_CONFIG_DIR, else /etc/ferrule for root and
// $XDG_CONFIG_HOME/ferrule (~/.config/ferrule) for others; FERRULE_LOG_DIR, else /var/log/ferrule for
// root and $XDG_STATE_HOME/ferrule (~/.local/state/ferrule) for others.
using Places::ConfigFolder;
using Places::LogFolder;

// What a command does with a policy: changes it (the manager writes it when it goes, and a policy it
// creates is made with its folders), sends through it without changing it (test: only the log folder
// is made), or only shows it (nothing is created, changed or locked).
enum class Access
{
    Change,
    Send,
    Show,
};
// A manager initialized for the options; null after a printed failure. A policy it creates sends the
// log file to LogFolder().
ComPtr<INotify> OpenManager(const Options& o, IMessageTranslator* translator, Access access);

// The outbox (OutboxCommand.cpp).
extern const char* const kFlushHelp;
extern const char* const kOutboxHelp;
int CommandFlush(const Options& o);
int CommandOutbox(const Options& o);
int CommandSetOutbox(const Options& o, Module& module);

// Decimal, or hexadecimal after "0x" (a leading 0 is not octal).
uint32_t ParseNumber(const std::string& text, const char* what);
uint32_t ParseWord(const std::string& text, const std::map<std::string, uint32_t>& words, const char* what);
extern const std::map<std::string, uint32_t> kTypes;
extern const std::map<std::string, uint32_t> kPriorities;
DATE ParseTime(const std::string& text);
std::string Words(uint32_t mask, const std::map<std::string, uint32_t>& words);

struct HandlerInfo
{
    std::u16string key;
    ComPtr<INotifyHandler> handler;
    std::string name;
};

const std::vector<std::pair<std::string, CLSID>>& BuiltInProgIds();
// The handlers of the manager in dispatch order: the built-in classes and every class the policy
// file names, asked for through GetHandler.
std::vector<HandlerInfo> LoadedHandlers(INotify* notify, const Options& o);

struct Property
{
    std::string name;
    DISPID id;
    bool readable = false;
    bool writable = false;
    VARTYPE type = VT_EMPTY; // the type its put takes
    const Setting* setting = nullptr; // its row in the class table, for the module's classes
};

// The properties a handler's type information describes, in member order, with their settings in the
// class table of the handler's class (clsid).
std::vector<Property> Properties(INotifyHandler* handler, const CLSID& clsid);
// Whether a property's value is never shown: its setting says so; a class from outside the module has no
// settings, and a property of it whose name reads like a password or a token is taken for a secret.
bool IsSecret(const Property& p);
// A value as it may be shown: a secret hidden, a URL by its scheme, host and port.
std::string ShownValue(const Property& p, const std::string& text);
// The name a setting goes by in what the tool shows: the policy file's element where it has one (which
// an administrator edits and greps), else the property's name. set takes either.
std::string ShownName(const Property& p);
std::string ReadProperty(INotifyHandler* handler, DISPID id);

Options Parse(const std::vector<std::string>& args, const std::string& command);

extern const char* const kNotifyHelp;
extern const char* const kHandlersHelp;
extern const char* const kSetHelp;
extern const char* const kExplainHelp;
extern const char* const kLogHelp;
extern const char* const kTestHelp;
extern const char* const kRegisterHelp;
extern const char* const kRegHelp;
extern const char* const kTrayHelp;
int CommandNotify(const Options& o, Module& module);
int CommandHandlers(const Options& o, Module& module);
int CommandSet(const Options& o, Module& module);
int CommandExplain(const Options& o, Module& module);
int CommandLog(const Options& o, Module& module);
int CommandTest(const Options& o, Module& module);
int CommandRegister(const Options& o, bool registering);
int CommandReg(const Options& o);
int CommandTray(const Options& o, Module& module);
} // namespace tool
