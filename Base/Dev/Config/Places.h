// Where the product keeps its files, by the FHS for root and the XDG base folders for others; each
// place has a FERRULE_*_DIR override. The tool and the C++ client read them from here.
#pragma once

#include <string>

namespace Places
{
// FERRULE_CONFIG_DIR, else /etc/ferrule for root and $XDG_CONFIG_HOME/ferrule (~/.config/ferrule)
// for others: the policies.
std::string ConfigFolder();
// FERRULE_LOG_DIR, else /var/log/ferrule for root and $XDG_STATE_HOME/ferrule
// (~/.local/state/ferrule) for others: the log files of policies the tool or the client creates.
std::string LogFolder();
// FERRULE_SPOOL_DIR, else /var/spool/ferrule for root and $XDG_STATE_HOME/ferrule/outbox
// (~/.local/state/ferrule/outbox) for others: the outbox of mail and posts to deliver again. "" for a
// user with neither a home nor the variables.
std::string SpoolFolder();
// Makes a place with its parents (mkdir -p); a folder it makes is 0755 for root and 0700 for others.
void MakeFolders(const std::string& path);
} // namespace Places
