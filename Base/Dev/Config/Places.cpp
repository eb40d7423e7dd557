#include "Base/Dev/Config/Places.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

namespace Places
{
namespace
{
std::string Overridden(const char* variable)
{
    const char* value = std::getenv(variable);
    return value && *value ? value : "";
}

std::string HomeFolder(const char* xdgVariable, const char* fallback)
{
    if (const std::string xdg = Overridden(xdgVariable); !xdg.empty())
        return xdg + "/ferrule";
    const std::string home = Overridden("HOME");
    return (home.empty() ? std::string("/tmp") : home) + "/" + fallback + "/ferrule";
}
} // namespace

std::string ConfigFolder()
{
    if (std::string configured = Overridden("FERRULE_CONFIG_DIR"); !configured.empty())
        return configured;
    return geteuid() == 0 ? "/etc/ferrule" : HomeFolder("XDG_CONFIG_HOME", ".config");
}

std::string LogFolder()
{
    if (std::string configured = Overridden("FERRULE_LOG_DIR"); !configured.empty())
        return configured;
    return geteuid() == 0 ? "/var/log/ferrule" : HomeFolder("XDG_STATE_HOME", ".local/state");
}

std::string SpoolFolder()
{
    if (std::string configured = Overridden("FERRULE_SPOOL_DIR"); !configured.empty())
        return configured;
    if (geteuid() == 0)
        return "/var/spool/ferrule";
    if (const std::string xdg = Overridden("XDG_STATE_HOME"); !xdg.empty())
        return xdg + "/ferrule/outbox";
    const std::string home = Overridden("HOME");
    return home.empty() ? std::string() : home + "/.local/state/ferrule/outbox";
}

void MakeFolders(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code failed;
    fs::path made;
    for (const fs::path& part : fs::path(path))
    {
        made /= part;
        if (fs::create_directory(made, failed))
            fs::permissions(made, geteuid() == 0 ? fs::perms(0755) : fs::perms(0700), failed);
    }
}
} // namespace Places
