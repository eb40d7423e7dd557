#include "Wicket/Wicket.h"
#include "Platform/Win32/Utf.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmp_transport.h>

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <dlfcn.h>
#include <ctime>
#include <mutex>

namespace
{
const oid kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

std::once_flag gOnce;
bool gInitialized = false;

// The library once per process: no configuration files, no MIBs (the bindings are numeric).
void Initialize()
{
    std::call_once(gOnce, [] {
        gInitialized = true;
        // Net-SNMP stays loaded once its transports are registered, even when this library is
        // unloaded: its registrations point into it.
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&snmp_sess_open), &info) != 0 && info.dli_fname != nullptr)
            dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        // Only the transports: traps need neither MIBs nor the configuration machinery, and loading
        // MIBs would print warnings for every module the machine lacks.
        snmp_disable_log();
        netsnmp_tdomain_init();
    });
}

bool Fail(BSTR* error, const std::string& text)
{
    if (error)
    {
        SysFreeString(*error);
        const std::u16string wide = Utf8ToUtf16(text);
        *error = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    }
    return false;
}

bool ParseOid(const std::u16string& text, oid* out, size_t& length)
{
    const std::string narrow = Utf16ToUtf8(text);
    size_t n = 0;
    const char* p = narrow.c_str();
    if (*p == '.')
        ++p;
    while (*p)
    {
        char* end = nullptr;
        const unsigned long v = std::strtoul(p, &end, 10);
        if (end == p || n >= length || (*end != '.' && *end != 0))
            return false;
        out[n++] = static_cast<oid>(v);
        p = *end == '.' ? end + 1 : end;
    }
    length = n;
    return n >= 2;
}

// The transport address of the destination: an IPv6 literal (with or without brackets) or a name that
// resolves to IPv6 only goes over udp6, anything else over udp.
std::string PeerName(std::string host, UINT port)
{
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    in6_addr literal;
    if (inet_pton(AF_INET6, host.c_str(), &literal) == 1)
        return "udp6:[" + host + "]:" + std::to_string(port);
    bool ipv6 = false;
    if (host.find(':') == std::string::npos)
    {
        addrinfo hints{};
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0)
        {
            bool any4 = false, any6 = false;
            for (const addrinfo* a = found; a; a = a->ai_next)
            {
                any4 = any4 || a->ai_family == AF_INET;
                any6 = any6 || a->ai_family == AF_INET6;
            }
            freeaddrinfo(found);
            ipv6 = any6 && !any4;
        }
    }
    return (ipv6 ? "udp6:" : "udp:") + host + ":" + std::to_string(port);
}

std::string SessionError(netsnmp_session* session)
{
    char* text = nullptr;
    int liberr = 0, syserr = 0;
    snmp_error(session, &liberr, &syserr, &text);
    std::string out = text ? text : "unknown SNMP error";
    free(text);
    return out;
}
} // namespace

extern "C" bool SendTrap(BSTR* error, const std::vector<std::u16string>&, bool, LPCWSTR, LPCWSTR)
{
    return Fail(error, "No trap destination is configured (Destination is empty).");
}

extern "C" bool SendTrapTo(BSTR* error, const std::vector<std::u16string>& bindings, bool version2, LPCWSTR trapOid,
                           LPCWSTR enterprise, LPCWSTR destination, UINT port, LPCWSTR community)
{
    if (destination == nullptr || *destination == 0)
        return SendTrap(error, bindings, version2, trapOid, enterprise);
    Initialize();
    oid trap[MAX_OID_LEN];
    size_t trapLength = MAX_OID_LEN;
    if (trapOid == nullptr || !ParseOid(trapOid, trap, trapLength))
        return Fail(error, "The trap identifier is not an object identifier.");
    oid enterpriseOid[MAX_OID_LEN];
    size_t enterpriseLength = MAX_OID_LEN;
    if (!version2 && (enterprise == nullptr || !ParseOid(enterprise, enterpriseOid, enterpriseLength)))
        return Fail(error, "The enterprise is not an object identifier.");

    netsnmp_session settings;
    snmp_sess_init(&settings);
    const std::string peer = PeerName(Utf16ToUtf8(destination), port);
    const std::string communityText = community && *community ? Utf16ToUtf8(community) : "public";
    settings.peername = const_cast<char*>(peer.c_str());
    settings.version = version2 ? SNMP_VERSION_2c : SNMP_VERSION_1;
    settings.community = reinterpret_cast<u_char*>(const_cast<char*>(communityText.c_str()));
    settings.community_len = communityText.size();
    void* session = snmp_sess_open(&settings);
    if (session == nullptr)
        return Fail(error, "Cannot send a trap to " + Utf16ToUtf8(destination) + ":" + std::to_string(port) + ": " +
                               SessionError(&settings));

    const long uptime = static_cast<long>(get_uptime());
    netsnmp_pdu* pdu = snmp_pdu_create(version2 ? SNMP_MSG_TRAP2 : SNMP_MSG_TRAP);
    if (version2)
    {
        const std::string ticks = std::to_string(uptime);
        snmp_add_var(pdu, kSysUpTime, OID_LENGTH(kSysUpTime), 't', ticks.c_str());
        snmp_pdu_add_variable(pdu, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char*>(trap), trapLength * sizeof(oid));
    }
    else
    {
        pdu->enterprise = static_cast<oid*>(malloc(enterpriseLength * sizeof(oid)));
        std::memcpy(pdu->enterprise, enterpriseOid, enterpriseLength * sizeof(oid));
        pdu->enterprise_length = enterpriseLength;
        pdu->trap_type = SNMP_TRAP_ENTERPRISESPECIFIC;
        pdu->specific_type = static_cast<long>(trap[trapLength - 1]);
        pdu->time = uptime;
        const in_addr_t address = get_myaddr();
        std::memcpy(pdu->agent_addr, &address, sizeof address < 4 ? sizeof address : 4);
    }
    for (const std::u16string& binding : bindings)
    {
        const size_t semicolon = binding.find(u';');
        oid name[MAX_OID_LEN];
        size_t nameLength = MAX_OID_LEN;
        if (semicolon == std::u16string::npos || !ParseOid(binding.substr(0, semicolon), name, nameLength))
        {
            snmp_free_pdu(pdu);
            snmp_sess_close(session);
            return Fail(error, "A binding is not \"OID;VALUE\": " + Utf16ToUtf8(binding));
        }
        const std::string value = Utf16ToUtf8(binding.substr(semicolon + 1));
        snmp_pdu_add_variable(pdu, name, nameLength, ASN_OCTET_STR, reinterpret_cast<const u_char*>(value.data()),
                              value.size());
    }
    if (snmp_sess_send(session, pdu) == 0)
    {
        const std::string reason = SessionError(snmp_sess_session(session));
        snmp_free_pdu(pdu);
        snmp_sess_close(session);
        return Fail(error, "Cannot send a trap to " + Utf16ToUtf8(destination) + ": " + reason);
    }
    snmp_sess_close(session);
    return true;
}
