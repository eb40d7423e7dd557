// The trap library: sends one SNMP trap per call through Net-SNMP. Loaded at run time by the SNMP
// trap handler from the folder "Shared" beside the program's folder.
//
// SendTrap(error, bindings, version2, trapOid, enterprise): the trap's contract. Each binding is
// "OID;VALUE" (sent as an OCTET STRING of the value in UTF-8). Version 2c: sysUpTime.0, snmpTrapOID.0
// = trapOid, then the bindings. Version 1: enterprise, generic trap 6 (enterpriseSpecific), specific
// trap = the last component of trapOid, the host's address as agent address, the bindings. True when
// the trap was sent; false with a text in *error (a BSTR the caller frees) otherwise. SendTrap has no
// destination of its own and fails with that text; SendTrapTo takes the destination (a host name or
// address), the UDP port and the community ("public" when empty).
#pragma once

#include "Platform/Com/OleAuto.h"

#include <string>
#include <vector>

extern "C" {
typedef bool (*SendTrapFunction)(BSTR* error, const std::vector<std::u16string>& bindings, bool version2,
                                 LPCWSTR trapOid, LPCWSTR enterprise);
typedef bool (*SendTrapToFunction)(BSTR* error, const std::vector<std::u16string>& bindings, bool version2,
                                   LPCWSTR trapOid, LPCWSTR enterprise, LPCWSTR destination, UINT port,
                                   LPCWSTR community);

__attribute__((visibility("default"))) bool SendTrap(BSTR* error, const std::vector<std::u16string>& bindings,
                                                     bool version2, LPCWSTR trapOid, LPCWSTR enterprise);
__attribute__((visibility("default"))) bool SendTrapTo(BSTR* error, const std::vector<std::u16string>& bindings,
                                                       bool version2, LPCWSTR trapOid, LPCWSTR enterprise,
                                                       LPCWSTR destination, UINT port, LPCWSTR community);
}
