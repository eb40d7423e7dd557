// The registry scripts of in-process servers: a tree of keys under a root (HKCR, HKLM, HKCU or their
// long names), each key "name [= s 'text' | = d number] [{ ... }]", named values "val name = s|d ...",
// the flags ForceRemove (deleted with its subtree before it is written, and on unregistration) and
// NoRemove (never deleted on unregistration), names bare or in single quotes ('' is a quote), and
// %NAME% variables replaced before the script is read.
//
// Registering creates the keys and sets the values. Unregistering deletes ForceRemove keys with their
// subtrees, and other keys (not NoRemove) with the values the script names, once nothing else is left
// below them. A script that cannot be read changes nothing and fails with
// HRESULT_FROM_WIN32(ERROR_INVALID_DATA) and error info naming the line; a registry failure (an
// unwritable hive: ERROR_ACCESS_DENIED) is returned as its HRESULT.
#pragma once

#include "Platform/Com/OleAuto.h"

#include <string>
#include <utility>
#include <vector>

HRESULT UpdateRegistryFromScript(const std::u16string& script, bool registering,
                                 const std::vector<std::pair<std::u16string, std::u16string>>& variables);
