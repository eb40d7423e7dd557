// One accepted notification through the SNMP trap handler (and the trap library it loads), next to the
// same version 2c trap sent by a minimal Net-SNMP loop in this process. Both go to a UDP socket on
// loopback that a thread drains.
#include "BenchCommon.h"

#include "Messages/MessageTables.h"
#include "Ferrule/NotifySNMPTrap.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmp_transport.h>

#include <atomic>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{
int gPort = 0;

BSTR B(const std::u16string& s)
{
    return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}
} // namespace

static void BM_HandlerTrap(benchmark::State& state)
{
    INotifySNMPTrap* trap = nullptr;
    ComCreator<CNotifySNMPTrap>::CreateInstance(nullptr, IID_INotifySNMPTrap, reinterpret_cast<void**>(&trap));
    trap->put_SNMPTrapEnabled(VARIANT_TRUE);
    trap->put_TypeFilter(static_cast<eZD_NOTIFY_TYPE>(0xF));
    trap->put_PriorityFilter(static_cast<eZD_NOTIFY_PRIORITY>(0xF));
    BSTR destination = B(u"127.0.0.1"), app = B(u"Backup"), d = B(u"Backup job Nightly finished."), s = B(u"bench");
    trap->put_Destination(destination);
    trap->put_TrapPort(static_cast<UINT>(gPort));
    for (auto _ : state)
        if (trap->Notify(app, NOTIFY_TYPE_INFO, NOTIFY_PRIORITY_LOW, 0, d, s, 0) != S_OK)
            state.SkipWithError("the handler failed");
    for (BSTR b : {destination, app, d, s})
        SysFreeString(b);
    trap->Release();
}
BENCHMARK(BM_HandlerTrap);

static void BM_BareNetSnmpTrap(benchmark::State& state)
{
    const oid uptime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
    const oid trapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
    const oid trapValue[] = {1, 3, 6, 1, 4, 1, 64999, 3, 1, 4, 4, 2, 1};
    const oid message[] = {1, 3, 6, 1, 4, 1, 64999, 3, 3, 5}, computer[] = {1, 3, 6, 1, 4, 1, 64999, 3, 3, 1},
              application[] = {1, 3, 6, 1, 4, 1, 64999, 3, 3, 2};
    const std::string peer = "udp:127.0.0.1:" + std::to_string(gPort);
    for (auto _ : state)
    {
        netsnmp_session settings;
        snmp_sess_init(&settings);
        settings.peername = const_cast<char*>(peer.c_str());
        settings.version = SNMP_VERSION_2c;
        settings.community = reinterpret_cast<u_char*>(const_cast<char*>("public"));
        settings.community_len = 6;
        void* session = snmp_sess_open(&settings);
        netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_TRAP2);
        snmp_add_var(pdu, uptime, OID_LENGTH(uptime), 't', std::to_string(get_uptime()).c_str());
        snmp_pdu_add_variable(pdu, trapOid, OID_LENGTH(trapOid), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char*>(trapValue), sizeof trapValue);
        snmp_pdu_add_variable(pdu, message, OID_LENGTH(message), ASN_OCTET_STR,
                              reinterpret_cast<const u_char*>("Backup job Nightly finished."), 28);
        snmp_pdu_add_variable(pdu, computer, OID_LENGTH(computer), ASN_OCTET_STR,
                              reinterpret_cast<const u_char*>("HOST"), 4);
        snmp_pdu_add_variable(pdu, application, OID_LENGTH(application), ASN_OCTET_STR,
                              reinterpret_cast<const u_char*>("Backup"), 6);
        if (snmp_sess_send(session, pdu) == 0)
            snmp_free_pdu(pdu);
        snmp_sess_close(session);
    }
}
BENCHMARK(BM_BareNetSnmpTrap);

int main(int argc, char** argv)
{
    RegisterMessageTables();
    snmp_disable_log();
    netsnmp_tdomain_init();
    // The receiving end: a UDP socket on loopback, drained by a thread.
    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(receiver, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(receiver, reinterpret_cast<sockaddr*>(&a), &length);
    gPort = ntohs(a.sin_port);
    timeval wait{0, 200000};
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::atomic<bool> stop{false};
    std::thread drain([&] {
        char buffer[65536];
        while (!stop)
            recv(receiver, buffer, sizeof buffer, 0);
    });

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nTrap through the handler / bare Net-SNMP trap: %.2f (limit 1.3)\n",
                reporter.Time("BM_HandlerTrap") / reporter.Time("BM_BareNetSnmpTrap"));
    stop = true;
    drain.join();
    close(receiver);
    return 0;
}
