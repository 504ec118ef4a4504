#include "Testbed.h"

#include "Record.h"

#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace vmeter {

namespace {

constexpr const char *ConnKey = "vmeter-conn";
constexpr int CloseWatchMs = 10;
constexpr int IdleUartCount = 4;

std::atomic<int> NextConnection{1};

// /dev/ttyS0, ttyS1, ttyUSB0, ttyUSB1 (ttyACM0, ttyACM1 with acm).
std::string PortDevice(int index, const PortConfig &config)
{
    return index < OnBoardCount ? "/dev/ttyS" + std::to_string(index)
                                : (config.Acm ? "/dev/ttyACM" : "/dev/ttyUSB") + std::to_string(index - OnBoardCount);
}

int UsbSocket(int index, const PortConfig &config)
{
    return config.Socket != 0 ? config.Socket : index - OnBoardCount + 1;
}

// A cdc_acm adapter's tty sits right below its USB interface.
std::string UsbInterface(int index, const PortConfig &config)
{
    const std::string socket = "1-" + std::to_string(UsbSocket(index, config));
    return "/devices/pci0000:00/0000:00:14.0/usb1/" + socket + "/" + socket + ":1.0";
}

// The sysfs device of an emulated port, as the kernel shows it: an on-board
// port with its UART's type (4: a 16550A), an adapter below its USB socket.
// No "dev" attribute: the program would then look for real processes that
// hold the real device of that number.
std::string SysfsDevice(int index, const PortConfig &config)
{
    const std::string device = PortDevice(index, config);
    const std::string name = device.substr(5);
    std::string path = "/devices/platform/serial8250/tty/" + name;
    std::string attributes = "A: type=4\n";
    if (index >= OnBoardCount) {
        path = UsbInterface(index, config) + (config.Acm ? "" : "/" + name) + "/tty/" + name;
        attributes.clear();
    }
    return "P: " + path + "\nN: " + name + "\nE: SUBSYSTEM=tty\nE: DEVNAME=" + device + "\n" + attributes;
}

// Takes a failed call's GError into error, after what: false, for returning.
bool Failed(GError *failure, const std::string &what, std::string &error)
{
    error = what + (failure != nullptr ? failure->message : "failed");
    g_clear_error(&failure);
    return false;
}

bool AddFromString(UMockdevTestbed *testbed, const std::string &description, std::string &error)
{
    GError *failure = nullptr;
    return umockdev_testbed_add_from_string(testbed, description.c_str(), &failure) ||
           Failed(failure, "umockdev: ", error);
}

bool Exists(const std::string &path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

bool MakeLink(const std::string &target, const std::string &link, std::string &error)
{
    return (g_mkdir_with_parents(link.substr(0, link.rfind('/')).c_str(), 0755) == 0 &&
            ::symlink(target.c_str(), link.c_str()) == 0) ||
           SystemError(link, error);
}

// cdc_acm binds the adapter's USB interface, where the tty's "device" link
// leads.
bool AddAcmDriver(const std::string &root, int index, const PortConfig &config, std::string &error)
{
    const std::string interface = root + "/sys" + UsbInterface(index, config);
    const std::string device = interface + "/tty/" + PortDevice(index, config).substr(5) + "/device";
    return (Exists(device) || MakeLink("../..", device, error)) &&
           MakeLink("../../../../../../bus/usb/drivers/cdc_acm", interface + "/driver", error);
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

    // A record line of the connection: its port and number, fields, and the
    // lines after the call.
    void Write(const char *event, UMockdevIoctlClient *client, double nowMs, const std::string &fields = {}) const
    {
        const int connection = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(client), ConnKey));
        Log->Write(event, "\"dev\":" + EventLog::Quote(Modem->Device()) + ",\"conn\":" + std::to_string(connection) +
                              fields + ",\"lines\":" + LinesJson(Modem->Lines(nowMs)));
    }

    void LogOrigin(double nowMs) const
    {
        Log->Write("origin", "\"dev\":" + EventLog::Quote(Modem->Device()) + "," + OriginJson(*Modem, nowMs));
    }
};

namespace {

void OnClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *port = static_cast<Testbed::Port *>(data);
    // A close already seen by umockdev goes into the record before this open.
    port->Owner->SweepClosures();
    g_object_set_data(G_OBJECT(client), ConnKey, GINT_TO_POINTER(NextConnection++));
    port->Live.push_back(UMOCKDEV_IOCTL_CLIENT(g_object_ref(client)));
    port->Owner->WatchOn(g_main_context_get_thread_default());
    const double now = port->Log->NowMs();
    const bool anchored = port->Modem->Opened(now);
    port->Write("open", client, now);
    if (anchored)
        port->LogOrigin(now);
}

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *port = static_cast<Testbed::Port *>(data);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    // The int the argument points to, read from and written back into the
    // program's memory.
    const bool pointer = request == TIOCMGET || ReadsIntArgument(request);
    g_autoptr(UMockdevIoctlData) pointed = nullptr;
    g_autoptr(GError) failure = nullptr;
    if (pointer)
        pointed = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(int), &failure);
    int argument = 0;
    if (pointed != nullptr && ReadsIntArgument(request))
        std::memcpy(&argument, pointed->data, sizeof argument);

    const double now = port->Log->NowMs();
    IoctlAnswer answer =
        pointer && pointed == nullptr ? IoctlAnswer::Failure(EFAULT) : port->Modem->Ioctl(request, argument, now);
    if (!answer.Emulated) {
        int error = 0;
        answer.Result = umockdev_ioctl_client_execute(client, &error, &failure);
        answer.Error = answer.Result < 0 ? error : 0;
        if (failure != nullptr) {
            answer.Result = -1;
            answer.Error = EIO;
        }
    } else if (answer.WriteBack && answer.Result == 0 && answer.Value) {
        // Synced back into the program's memory when the call completes.
        std::memcpy(pointed->data, &*answer.Value, sizeof(int));
    }
    port->Write("ioctl", client, now, "," + IoctlJson(request, answer));
    umockdev_ioctl_client_complete(client, answer.Result, answer.Error);
    return TRUE;
}

// What closeWatch_ holds once the testbed has begun to end.
GSource *ClosingMark()
{
    static char mark;
    return reinterpret_cast<GSource *>(&mark);
}

// Returns once the thread running the context has finished what it was
// dispatching: a context runs one callback at a time, so this one comes
// after it.  A thread that no longer runs the loop dispatches nothing, hence
// the bound; the marker's state then goes with the context.  A mutex and a
// condition variable, not a promise: ThreadSanitizer sees their hand-over,
// but not the acquire that std::future's wait makes inside libstdc++.
void AwaitDispatch(GMainContext *context)
{
    struct Marker
    {
        std::mutex Mutex;
        std::condition_variable Reached;
        bool Done = false;
    };
    const auto marker = std::make_shared<Marker>();
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            Marker &reached = **static_cast<std::shared_ptr<Marker> *>(data);
            const std::lock_guard lock(reached.Mutex);
            reached.Done = true;
            reached.Reached.notify_all();
            return G_SOURCE_REMOVE;
        },
        new std::shared_ptr<Marker>(marker),
        [](gpointer data) { delete static_cast<std::shared_ptr<Marker> *>(data); });
    std::unique_lock lock(marker->Mutex);
    marker->Reached.wait_for(lock, std::chrono::seconds(2), [&] { return marker->Done; });
}

} // namespace

Testbed::Testbed(EventLog &log, const std::array<PortConfig, PortCount> &configs, Surroundings surroundings)
    : log_(log), configs_(configs), surroundings_(std::move(surroundings))
{
}

Testbed::~Testbed()
{
    // The handler thread may be inside a callback of ours right now, and
    // umockdev's own end only quits that thread's loop without waiting for
    // it.  So no handler may start any more, nor a handler under way set up
    // a new close watch (the mark), and the callback under way, a handler's
    // or the watch's, ends before the ports go.
    for (auto &port : ports_) {
        if (port && port->Handler != nullptr)
            g_signal_handlers_disconnect_by_data(port->Handler, port.get());
    }
    GSource *watch = closeWatch_.exchange(ClosingMark());
    if (watch != nullptr) {
        GMainContext *context = g_main_context_ref(g_source_get_context(watch));
        g_source_destroy(watch);
        g_source_unref(watch);
        AwaitDispatch(context);
        g_main_context_unref(context);
    }
    // Removes the testbed directory.
    if (testbed_ != nullptr)
        g_object_unref(testbed_);
    for (auto &port : ports_) {
        if (port && port->Handler != nullptr)
            g_object_unref(port->Handler);
        if (port && port->HeldFd >= 0)
            ::close(port->HeldFd);
    }
}

bool Testbed::Create(std::string &error)
{
    // umockdev aborts the process when it cannot make the directory.
    testbed_ = umockdev_testbed_new();
    g_autofree gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_ = root;
    for (int index = 0; index < PortCount; ++index) {
        if (!AddNode(index, error))
            return false;
    }
    return AddSurroundings(error) && AddAbsentNames(error) && HoldPorts(error);
}

ModemPort &Testbed::Modem(int index) { return *ports_.at(index)->Modem; }

// umockdev 0.17 tells about new connections but not about their end: a
// timer on the handler thread looks for connections whose stream has closed.
void Testbed::SweepClosures()
{
    for (auto &port : ports_) {
        std::erase_if(port->Live, [&port](UMockdevIoctlClient *client) {
            if (umockdev_ioctl_client_get_connected(client))
                return false;
            const double now = port->Log->NowMs();
            port->Modem->Closed(now);
            port->Write("close", client, now);
            g_object_unref(client);
            return true;
        });
    }
}

void Testbed::WatchOn(GMainContext *context)
{
    if (closeWatch_ != nullptr)
        return;
    GSource *watch = g_timeout_source_new(CloseWatchMs);
    g_source_set_callback(
        watch,
        [](gpointer testbed) -> gboolean {
            static_cast<Testbed *>(testbed)->SweepClosures();
            return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(watch, context);
    // Its first run is after this handler, on this thread; meanwhile the
    // testbed may have begun to end.
    GSource *none = nullptr;
    if (!closeWatch_.compare_exchange_strong(none, watch)) {
        g_source_destroy(watch);
        g_source_unref(watch);
    }
}

bool Testbed::AddNode(int index, std::string &error)
{
    const PortConfig &config = configs_[index];
    const std::string device = PortDevice(index, config);
    auto port = std::make_unique<Port>();
    port->Owner = this;
    port->Log = &log_;
    port->Modem = std::make_unique<ModemPort>(device, config);
    if (config.Acm && index < OnBoardCount) {
        error = device + ": acm is for a USB adapter";
        return false;
    }
    if (config.Kind != PortKind::Absent) {
        if (!AddFromString(testbed_, SysfsDevice(index, config), error)) {
            error = device + ": " + error;
            return false;
        }
        if (config.Acm && !AddAcmDriver(root_, index, config, error))
            return false;
        port->Handler = umockdev_ioctl_base_new();
        g_signal_connect(port->Handler, "handle-ioctl", G_CALLBACK(OnIoctl), port.get());
        g_signal_connect(port->Handler, "client-connected", G_CALLBACK(OnClientConnected), port.get());
        GError *failure = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed_, device.c_str(), port->Handler, &failure))
            return Failed(failure, device + ": ", error);
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
        if (port->Modem->Triggered(signal, now))
            port->LogOrigin(now);
    }
}

// The kernel lists ttyS names whether or not a UART answers; those without
// one have the type 0 and no node here.  ttyS0..ttyS3 show that: each sysfs
// device costs umockdev milliseconds on a busy disk, and the waveforms count
// from the meter's start.  Then the console list; udev's links by socket, as
// in /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0; the relative
// links /dev/COMn that an administrator's udev SYMLINK rule makes; and lock
// files in the UUCP form, the PID in ten ASCII digits and a newline.
bool Testbed::AddSurroundings(std::string &error)
{
    std::string sysfs;
    for (int index = 0; index < IdleUartCount; ++index) {
        if (index >= OnBoardCount || configs_[index].Kind == PortKind::Absent)
            sysfs += "P: /devices/platform/serial8250/tty/ttyS" + std::to_string(index) +
                     "\nE: SUBSYSTEM=tty\nA: type=0\n\n";
    }
    std::string consoles;
    for (const std::string &name : surroundings_.Consoles)
        consoles += (consoles.empty() ? "" : " ") + name;
    if (!consoles.empty())
        sysfs += "P: /devices/virtual/tty/console\nE: SUBSYSTEM=tty\nA: active=" + consoles + "\n";
    if (!AddFromString(testbed_, sysfs, error))
        return false;
    for (int index = OnBoardCount; index < PortCount; ++index) {
        const std::string socket = std::to_string(UsbSocket(index, configs_[index]));
        if (configs_[index].Kind != PortKind::Absent &&
            !MakeLink("../.." + PortDevice(index, configs_[index]).substr(4),
                      root_ + "/dev/serial/by-path/pci-0000:00:14.0-usb-0:" + socket + ":1.0-port0", error))
            return false;
    }
    for (const auto &[number, name] : surroundings_.Aliases) {
        if (!MakeLink(name, root_ + "/dev/COM" + std::to_string(number), error))
            return false;
    }
    const std::string locks = LockDirectory();
    if (g_mkdir_with_parents(locks.c_str(), 0755) != 0)
        return SystemError(locks, error);
    for (const auto &[name, pid] : surroundings_.Locks) {
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", pid);
        const std::string path = locks + "/LCK.." + name;
        GError *failure = nullptr;
        if (!g_file_set_contents(path.c_str(), text, -1, &failure))
            return Failed(failure, path + ": ", error);
    }
    return true;
}

// The names the program never finds are shadowed too, as absent ports: the
// on-board ones and the aliases as directories of their own, the many
// adapter names as links to one directory (a directory costs ten times a link
// to make, which shows on a busy disk).
bool Testbed::AddAbsentNames(std::string &error)
{
    const std::string absent = root_ + "/dev/" + AbsentDirectory;
    if (g_mkdir_with_parents(absent.c_str(), 0755) != 0)
        return SystemError(absent, error);
    for (const std::string &path : ShadowedPaths()) {
        const std::string node = root_ + path;
        const bool adapter = path.starts_with("/dev/ttyUSB") || path.starts_with("/dev/ttyACM");
        if (!Exists(node) &&
            (adapter ? ::symlink(AbsentDirectory, node.c_str()) : g_mkdir_with_parents(node.c_str(), 0755)) != 0)
            return SystemError(node, error);
    }
    return true;
}

bool Testbed::HoldPorts(std::string &error)
{
    for (int index = 0; index < PortCount; ++index) {
        if (!configs_[index].Held)
            continue;
        if (!CheckShadowed(root_, error))
            return false;
        // Opened as the meter itself, without the preload: the node is a
        // symlink to the pty, and a flock on it conflicts with the program's
        // own flock.
        const std::string node = root_ + PortDevice(index, configs_[index]);
        int &fd = ports_[index]->HeldFd;
        fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
            return SystemError(node + ": cannot hold the port", error);
    }
    return true;
}

} // namespace vmeter
