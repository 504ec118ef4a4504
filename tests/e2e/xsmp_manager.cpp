// A minimal X session manager (XSMP over ICE, with libSM) for the logout
// scenario: it accepts one client on the local socket SOCKET (a path) and
// lets the test act as the desktop's logout, line by line on standard input:
//     xsmp-manager SOCKET
//     logout   SaveYourself (both, shutdown, any interaction, not fast)
//     cancel   ShutdownCancelled: the logout was called off
//     die      Die: the session ends
// It reports on standard output, one line each:
//     listening SESSION_MANAGER-VALUE
//     registered
//     save-yourself-done SUCCESS
//     property NAME FIRST-BYTE
// Connections are accepted without authentication, from this host only.
#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>

#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

// libICE's transport switch (exported, not in its headers): keeps the
// manager off the network.
extern "C" int _IceTransNoListen(const char *protocol);

namespace {

SmsConn Client = nullptr;
IceConn ClientIce = nullptr;

void Report(const std::string &line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

Bool AcceptLocal(char *) { return True; }

void Forget(IceConn ice)
{
    IceSetShutdownNegotiation(ice, False);
    IceCloseConnection(ice);
    Client = nullptr;
    ClientIce = nullptr;
}

Status RegisterClient(SmsConn conn, SmPointer, char *)
{
    Report("registered");
    return SmsRegisterClientReply(conn, SmsGenerateClientID(conn));
}

void CloseConnection(SmsConn conn, SmPointer, int count, char **reasons)
{
    SmFreeReasons(count, reasons);
    IceConn ice = SmsGetIceConnection(conn);
    SmsCleanUp(conn);
    Forget(ice);
}

void SetProperties(SmsConn, SmPointer, int count, SmProp **props)
{
    for (int i = 0; i < count; ++i) {
        const SmProp *prop = props[i];
        const int first =
            prop->num_vals > 0 && prop->vals[0].length > 0 ? static_cast<unsigned char *>(prop->vals[0].value)[0] : -1;
        Report(std::string("property ") + prop->name + " " + std::to_string(first));
        SmFreeProperty(props[i]);
    }
    std::free(props);
}

void DeleteProperties(SmsConn, SmPointer, int count, char **names)
{
    for (int i = 0; i < count; ++i)
        std::free(names[i]);
    std::free(names);
}

Status NewClient(SmsConn conn, SmPointer, unsigned long *mask, SmsCallbacks *callbacks, char **)
{
    Client = conn;
    *callbacks = {};
    callbacks->register_client.callback = RegisterClient;
    callbacks->interact_request.callback = [](SmsConn conn, SmPointer, int) { SmsInteract(conn); };
    callbacks->interact_done.callback = [](SmsConn, SmPointer, Bool) {};
    callbacks->save_yourself_request.callback = [](SmsConn, SmPointer, int, Bool, int, Bool, Bool) {};
    callbacks->save_yourself_phase2_request.callback = [](SmsConn conn, SmPointer) { SmsSaveYourselfPhase2(conn); };
    callbacks->save_yourself_done.callback = [](SmsConn, SmPointer, Bool success) {
        Report("save-yourself-done " + std::to_string(success));
    };
    callbacks->close_connection.callback = CloseConnection;
    callbacks->set_properties.callback = SetProperties;
    callbacks->delete_properties.callback = DeleteProperties;
    callbacks->get_properties.callback = [](SmsConn conn, SmPointer) { SmsReturnProperties(conn, 0, nullptr); };
    *mask = SmsRegisterClientProcMask | SmsInteractRequestProcMask | SmsInteractDoneProcMask |
            SmsSaveYourselfRequestProcMask | SmsSaveYourselfP2RequestProcMask | SmsSaveYourselfDoneProcMask |
            SmsCloseConnectionProcMask | SmsSetPropertiesProcMask | SmsDeletePropertiesProcMask |
            SmsGetPropertiesProcMask;
    return 1;
}

void IgnoreIoError(IceConn) {}

void Command(const std::string &command)
{
    if (Client == nullptr) {
        Report("error no client");
    } else if (command == "logout") {
        SmsSaveYourself(Client, SmSaveBoth, True, SmInteractStyleAny, False);
    } else if (command == "cancel") {
        SmsShutdownCancelled(Client);
    } else if (command == "die") {
        SmsDie(Client);
    } else {
        Report("error unknown command " + command);
    }
    if (ClientIce != nullptr)
        IceFlush(ClientIce);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || argv[1][0] != '/') {
        std::fprintf(stderr, "usage: xsmp-manager SOCKET-PATH\n");
        return 2;
    }
    char error[256] = "";
    if (!SmsInitialize("kapirel-tests", "1.0", NewClient, nullptr, AcceptLocal, sizeof error, error)) {
        std::fprintf(stderr, "xsmp-manager: SmsInitialize: %s\n", error);
        return 1;
    }
    IceSetIOErrorHandler(IgnoreIoError);
    _IceTransNoListen("tcp");
    _IceTransNoListen("inet");
    _IceTransNoListen("inet6");
    int count = 0;
    IceListenObj *listeners = nullptr;
    // A port that is a path puts the socket there (and, on Linux, the
    // abstract socket of the "local" transport under the same name) instead
    // of /tmp/.ICE-unix/<pid>.  Only local transports are left to listen on.
    if (!IceListenForWellKnownConnections(argv[1], &count, &listeners, sizeof error, error) || count == 0) {
        std::fprintf(stderr, "xsmp-manager: IceListenForWellKnownConnections: %s\n", error);
        return 1;
    }
    const std::vector<IceListenObj> local(listeners, listeners + count);
    for (IceListenObj listener : local)
        IceSetHostBasedAuthProc(listener, AcceptLocal);
    char *address = IceComposeNetworkIdList(count, listeners);
    Report(std::string("listening ") + address);
    std::free(address);

    std::string input;
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({STDIN_FILENO, POLLIN, 0});
        for (IceListenObj listener : local)
            fds.push_back({IceGetListenConnectionNumber(listener), POLLIN, 0});
        if (ClientIce != nullptr)
            fds.push_back({IceConnectionNumber(ClientIce), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;

        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buffer[256];
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got <= 0)
                return 0;
            input.append(buffer, static_cast<std::size_t>(got));
            for (std::size_t end; (end = input.find('\n')) != std::string::npos;) {
                Command(input.substr(0, end));
                input.erase(0, end + 1);
            }
        }
        for (std::size_t i = 0; i < local.size(); ++i) {
            if (!(fds[1 + i].revents & POLLIN))
                continue;
            IceAcceptStatus status;
            IceConn ice = IceAcceptConnection(local[i], &status);
            if (ice == nullptr)
                continue;
            IceConnectStatus state;
            while ((state = IceConnectionStatus(ice)) == IceConnectPending)
                if (IceProcessMessages(ice, nullptr, nullptr) == IceProcessMessagesIOError)
                    break;
            if (state == IceConnectAccepted && ClientIce == nullptr)
                ClientIce = ice;
            else
                IceCloseConnection(ice);
        }
        if (ClientIce != nullptr && fds.size() > 1 + local.size() && (fds.back().revents & (POLLIN | POLLHUP))) {
            if (IceProcessMessages(ClientIce, nullptr, nullptr) != IceProcessMessagesSuccess && ClientIce != nullptr)
                Forget(ClientIce);
        }
    }
}
