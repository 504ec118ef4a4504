#include "Testbed.h"

#include <umockdev.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace vmeter {

namespace {

constexpr const char *ConnKey = "vmeter-conn";
constexpr int CloseWatchMs = 10;

std::atomic<int> NextConnection{1};

std::string Seconds(std::optional<double> ms)
{
    if (!ms)
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", *ms / 1000.0);
    return text;
}

std::string ErrorName(int error)
{
    if (error == 0)
        return "\"\"";
    const char *name = strerrorname_np(error);
    return EventLog::Quote(name != nullptr ? name : std::to_string(error));
}

std::string LinesJson(const LineState &lines)
{
    return std::string("{\"dtr\":") + (lines.Dtr ? "1" : "0") + ",\"rts\":" + (lines.Rts ? "1" : "0") +
           ",\"brk\":" + (lines.Break ? "1" : "0") + ",\"cts\":" + std::to_string(lines.Cts) + "}";
}

const char *KindName(PortKind kind)
{
    switch (kind) {
    case PortKind::Present:
        return "present";
    case PortKind::NotSerial:
        return "notserial";
    case PortKind::Absent:
        return "absent";
    }
    return "?";
}

const char *OriginName(Origin origin)
{
    switch (origin) {
    case Origin::Start:
        return "start";
    case Origin::Open:
        return "open";
    case Origin::Usr1:
        return "usr1";
    case Origin::Usr2:
        return "usr2";
    }
    return "?";
}

} // namespace

struct Testbed::Port
{
    Testbed *Owner = nullptr;
    EventLog *Log = nullptr;
    std::unique_ptr<ModemPort> Modem;
    UMockdevIoctlBase *Handler = nullptr;
    int HeldFd = -1;
    // Open connections, watched for their end (owned references).  Touched
    // only on umockdev's handler thread.
    std::vector<UMockdevIoctlClient *> Live;

    std::string Common(int connection) const
    {
        return "\"dev\":" + EventLog::Quote(Modem->Device()) + ",\"conn\":" + std::to_string(connection);
    }

    void LogOrigin(double nowMs) const
    {
        const std::optional<double> origin = Modem->OriginMs();
        const std::optional<double> end = Modem->Config().Cts.EndMs();
        const std::optional<double> remove = Modem->Config().RemoveMs;
        Log->Write("origin",
                   "\"dev\":" + EventLog::Quote(Modem->Device()) + ",\"origin_t\":" + Seconds(origin) +
                       ",\"wave_end_t\":" + Seconds(end && origin ? std::optional(*origin + *end) : std::nullopt) +
                       ",\"remove_t\":" + Seconds(remove && origin ? std::optional(*origin + *remove) : std::nullopt) +
                       ",\"now_t\":" + Seconds(nowMs));
    }
};

namespace {

// umockdev 0.17 tells about new connections but not about their end: a
// timer on the handler thread looks for connections whose stream has closed.
gboolean WatchClosures(gpointer data)
{
    auto *ports = static_cast<std::vector<Testbed::Port *> *>(data);
    for (Testbed::Port *port : *ports) {
        auto &live = port->Live;
        for (auto it = live.begin(); it != live.end();) {
            UMockdevIoctlClient *client = *it;
            if (umockdev_ioctl_client_get_connected(client)) {
                ++it;
                continue;
            }
            const int connection = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(client), ConnKey));
            const double now = port->Log->NowMs();
            port->Modem->Closed(now);
            port->Log->Write("close", port->Common(connection) + ",\"lines\":" + LinesJson(port->Modem->Lines(now)));
            g_object_unref(client);
            it = live.erase(it);
        }
    }
    return G_SOURCE_CONTINUE;
}

void OnClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *port = static_cast<Testbed::Port *>(data);
    // A close already seen by umockdev goes into the record before this open.
    port->Owner->SweepClosures();
    const int connection = NextConnection++;
    g_object_set_data(G_OBJECT(client), ConnKey, GINT_TO_POINTER(connection));
    port->Live.push_back(UMOCKDEV_IOCTL_CLIENT(g_object_ref(client)));
    port->Owner->WatchOn(g_main_context_get_thread_default());
    const double now = port->Log->NowMs();
    const bool anchored = port->Modem->Opened(now);
    port->Log->Write("open", port->Common(connection) + ",\"lines\":" + LinesJson(port->Modem->Lines(now)));
    if (anchored)
        port->LogOrigin(now);
}

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *port = static_cast<Testbed::Port *>(data);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    const int connection = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(client), ConnKey));

    g_autoptr(UMockdevIoctlData) pointed = nullptr;
    int argument = 0;
    if (request == TIOCMGET || ReadsIntArgument(request)) {
        GError *error = nullptr;
        pointed = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(int), &error);
        if (pointed == nullptr) {
            port->Log->Write("ioctl", port->Common(connection) + ",\"req\":" + EventLog::Quote(RequestName(request)) +
                                          ",\"value\":null,\"result\":-1,\"errno\":" + std::to_string(EFAULT) +
                                          ",\"error\":\"EFAULT\"");
            if (error != nullptr)
                g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        if (ReadsIntArgument(request))
            std::memcpy(&argument, pointed->data, sizeof argument);
    }

    const double now = port->Log->NowMs();
    IoctlAnswer answer = port->Modem->Ioctl(request, argument, now);
    if (!answer.Emulated) {
        int error = 0;
        GError *failure = nullptr;
        answer.Result = umockdev_ioctl_client_execute(client, &error, &failure);
        answer.Error = answer.Result < 0 ? error : 0;
        if (failure != nullptr) {
            answer.Result = -1;
            answer.Error = EIO;
            g_error_free(failure);
        }
    } else if (answer.WriteBack && answer.Result == 0 && answer.Value) {
        // Synced back into the program's memory when the call completes.
        std::memcpy(pointed->data, &*answer.Value, sizeof(int));
    }

    std::string value = "null";
    std::string bits;
    if (answer.Value && !(answer.WriteBack && answer.Result != 0)) {
        value = std::to_string(*answer.Value);
        bits = ",\"bits\":" + ModemBitsJson(*answer.Value);
    }
    char hex[32];
    std::snprintf(hex, sizeof hex, "\"0x%lX\"", request);
    port->Log->Write("ioctl", port->Common(connection) + ",\"req\":" + EventLog::Quote(RequestName(request)) +
                                  ",\"request\":" + hex + ",\"emulated\":" + (answer.Emulated ? "true" : "false") +
                                  ",\"value\":" + value + bits + ",\"result\":" + std::to_string(answer.Result) +
                                  ",\"errno\":" + std::to_string(answer.Error) + ",\"error\":" +
                                  ErrorName(answer.Error) + ",\"lines\":" + LinesJson(port->Modem->Lines(now)));
    umockdev_ioctl_client_complete(client, answer.Result, answer.Error);
    return TRUE;
}

} // namespace

Testbed::Testbed(EventLog &log, const std::array<PortConfig, PortCount> &configs) : log_(log), configs_(configs) {}

Testbed::~Testbed()
{
    if (GSource *watch = closeWatch_.exchange(nullptr)) {
        g_source_destroy(watch);
        g_source_unref(watch);
    }
    for (auto &port : ports_) {
        if (port && port->HeldFd >= 0)
            ::close(port->HeldFd);
    }
    // Removes the testbed directory.
    if (testbed_ != nullptr)
        g_object_unref(testbed_);
    for (auto &port : ports_) {
        if (port && port->Handler != nullptr)
            g_object_unref(port->Handler);
    }
}

bool Testbed::Create(std::string &error)
{
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr) {
        error = "umockdev could not create a testbed";
        return false;
    }
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    g_free(root);

    for (int index = 0; index < PortCount; ++index) {
        if (!AddNode(index, error))
            return false;
    }
    // The ports the program never asks for are shadowed too, as absent ones.
    for (int index = 0; index < ShadowedTtyCount; ++index) {
        const std::string node = root_ + TtyPath(index);
        struct stat status
        {
        };
        if (::lstat(node.c_str(), &status) == 0)
            continue;
        if (g_mkdir_with_parents(node.c_str(), 0755) != 0) {
            error = node + ": " + std::strerror(errno);
            return false;
        }
    }
    for (int index = 0; index < PortCount; ++index) {
        if (configs_[index].Held && !Hold(index, error))
            return false;
    }
    return true;
}

ModemPort &Testbed::Modem(int index) { return *ports_.at(index)->Modem; }

void Testbed::SweepClosures()
{
    if (closeWatch_ != nullptr)
        WatchClosures(&watched_);
}

void Testbed::WatchOn(GMainContext *context)
{
    if (closeWatch_ != nullptr)
        return;
    for (auto &port : ports_) {
        if (port)
            watched_.push_back(port.get());
    }
    GSource *watch = g_timeout_source_new(CloseWatchMs);
    g_source_set_callback(watch, WatchClosures, &watched_, nullptr);
    g_source_attach(watch, context);
    closeWatch_ = watch;
}

bool Testbed::AddNode(int index, std::string &error)
{
    const PortConfig &config = configs_[index];
    const std::string device = TtyPath(index);
    auto port = std::make_unique<Port>();
    port->Owner = this;
    port->Log = &log_;
    port->Modem = std::make_unique<ModemPort>(device, config);
    const std::string name = "ttyS" + std::to_string(index);

    const std::optional<double> end = config.Cts.EndMs();
    log_.Write("port", "\"dev\":" + EventLog::Quote(device) + ",\"com\":\"COM" + std::to_string(index + 1) +
                           "\",\"config\":" + EventLog::Quote(config.Text) + ",\"kind\":\"" + KindName(config.Kind) +
                           "\",\"held\":" + (config.Held ? "true" : "false") + ",\"origin\":\"" +
                           OriginName(config.TimeOrigin) + "\",\"idle\":" + std::to_string(config.Cts.Idle) +
                           ",\"wave_end_ms\":" + (end ? std::to_string(*end) : std::string("null")));

    if (config.Kind != PortKind::Absent) {
        const std::string description = "P: /devices/platform/serial8250/tty/" + name + "\nN: " + name +
                                        "\nE: SUBSYSTEM=tty\nE: DEVNAME=" + device + "\n";
        GError *failure = nullptr;
        if (!umockdev_testbed_add_from_string(testbed_, description.c_str(), &failure)) {
            error = device + ": " + (failure != nullptr ? failure->message : "cannot add the device");
            if (failure != nullptr)
                g_error_free(failure);
            return false;
        }
        port->Handler = umockdev_ioctl_base_new();
        g_signal_connect(port->Handler, "handle-ioctl", G_CALLBACK(OnIoctl), port.get());
        g_signal_connect(port->Handler, "client-connected", G_CALLBACK(OnClientConnected), port.get());
        if (!umockdev_testbed_attach_ioctl(testbed_, device.c_str(), port->Handler, &failure)) {
            error = device + ": " + (failure != nullptr ? failure->message : "cannot attach the ioctl handler");
            if (failure != nullptr)
                g_error_free(failure);
            return false;
        }
    }
    if (config.TimeOrigin == Origin::Start && config.Kind == PortKind::Present)
        port->LogOrigin(0.0);
    ports_[index] = std::move(port);
    return true;
}

void Testbed::Trigger(Origin signal)
{
    for (auto &port : ports_) {
        const double now = log_.NowMs();
        if (port && port->Modem->Triggered(signal, now))
            port->LogOrigin(now);
    }
}

bool Testbed::Hold(int index, std::string &error)
{
    Port &port = *ports_[index];
    const std::string node = root_ + TtyPath(index);
    if (!CheckShadowed(root_, error))
        return false;
    // Opened as the meter itself, without the preload: the node is a symlink
    // to the pty, and a flock on it conflicts with the program's own flock.
    port.HeldFd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port.HeldFd < 0 || ::flock(port.HeldFd, LOCK_EX | LOCK_NB) != 0) {
        error = node + ": cannot hold the port: " + std::strerror(errno);
        return false;
    }
    log_.Write("held", "\"dev\":" + EventLog::Quote(TtyPath(index)));
    return true;
}

} // namespace vmeter
