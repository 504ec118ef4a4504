// virtual-meter: runs a command against an emulated water meter wired to
// /dev/ttyS0 and /dev/ttyS1 (and, if asked, USB adapters /dev/ttyUSB0 and
// /dev/ttyUSB1), inside a umockdev testbed.
//
// The meter creates the testbed, answers the program's modem ioctls from its
// own threads, records each of them, forwards termination signals and exits
// with the command's status.  The testbed directory outlives every process
// that uses it: the command (and anything joined with --join) holds a shared
// flock on a file in it, and the meter removes the testbed only once it can
// take that lock exclusively.  A removed testbed would let the preload library
// reach the machine's real serial ports.
#include "EventLog.h"
#include "LockNamespace.h"
#include "PortConfig.h"
#include "Record.h"
#include "Testbed.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using namespace vmeter;

constexpr int ToolFailed = 125; // as env(1) and timeout(1): the tool itself failed
constexpr const char *UsersFileName = "/.virtual-meter-users";
constexpr int InheritedUsersFd = 3;

// The options in full, with examples: README.md, "virtual meter".
const char *const Usage =
    "usage: virtual-meter [--com1 PORT] [--com2 PORT] [--usb0 PORT] [--usb1 PORT] [--alias COMn=NAME]...\n"
    "                     [--console NAME,...] [--lock NAME=PID]... [--log FILE] [--realtime] [--quiet]\n"
    "                     -- COMMAND [ARGS...]\n"
    "       virtual-meter --join TESTBED [--quiet] -- COMMAND [ARGS...]\n"
    "PORT: present|notserial|absent|held[,hz=F][,duty=PCT][,pulses=N|inf][,delay=MS][,idle=0|1]\n"
    "      [,steps=MS:L;MS:L...][,origin=start|open|usr1|usr2][,remove=MS][,held][,socket=N][,acm]\n"
    "Exits with COMMAND's status (128+N when signal N killed it, 125 when the meter failed).\n";

bool Quiet = false;

void Note(const std::string &text)
{
    if (!Quiet)
        std::fprintf(stderr, "virtual-meter: %s\n", text.c_str());
}

int Fail(const std::string &text)
{
    std::fprintf(stderr, "virtual-meter: %s\n", text.c_str());
    return ToolFailed;
}

struct Options
{
    std::array<PortConfig, PortCount> Ports{ParsePortConfig("present"), ParsePortConfig("present"),
                                            ParsePortConfig("absent"), ParsePortConfig("absent")};
    Surroundings Machine;
    std::string LogPath;
    std::string JoinDir;
    bool Realtime = false;
    std::vector<std::string> Command;
};

bool PlainName(const std::string &name) { return std::regex_match(name, std::regex("[A-Za-z0-9]{1,31}")); }

// --alias COM2=ttyUSB1, --console tty0,ttyS0, --lock ttyS1=4242.
void ParseSurrounding(const std::string &option, const std::string &value, Surroundings &machine)
{
    const auto equals = value.find('=');
    const std::string name = value.substr(0, equals);
    const std::string rest = equals == std::string::npos ? std::string() : value.substr(equals + 1);
    if (option == "--console") {
        const std::vector<std::string> names = Split(value, ',');
        if (!std::all_of(names.begin(), names.end(), PlainName))
            throw ConfigError("a comma list of device names");
        machine.Consoles.insert(machine.Consoles.end(), names.begin(), names.end());
    } else if (option == "--alias") {
        if (name.size() != 4 || name.compare(0, 3, "COM") != 0 || name[3] < '1' || name[3] > '9' || !PlainName(rest))
            throw ConfigError("COMn=NAME, n from 1 to 9");
        machine.Aliases[name[3] - '0'] = rest;
    } else {
        char *end = nullptr;
        const long pid = std::strtol(rest.c_str(), &end, 10);
        if (!PlainName(name) || rest.empty() || *end != '\0' || pid <= 0 || pid > 0x3fffffff)
            throw ConfigError("NAME=PID");
        machine.Locks[name] = static_cast<int>(pid);
    }
}

const std::string PortOptions[PortCount] = {"--com1", "--com2", "--usb0", "--usb1"};

std::optional<Options> ParseOptions(int argc, char **argv, std::string &error)
{
    Options options;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help") {
            error = "help";
            return std::nullopt;
        }
        if (arg == "--quiet" || arg == "--realtime") {
            (arg == "--quiet" ? Quiet : options.Realtime) = true;
            continue;
        }
        const bool surrounding = arg == "--alias" || arg == "--console" || arg == "--lock";
        const auto port = std::find(std::begin(PortOptions), std::end(PortOptions), arg);
        std::string *target = arg == "--log" ? &options.LogPath : arg == "--join" ? &options.JoinDir : nullptr;
        if (!surrounding && target == nullptr && port == std::end(PortOptions)) {
            if (!arg.empty() && arg[0] == '-') {
                error = "unknown option " + arg;
                return std::nullopt;
            }
            break; // the command starts here
        }
        if (i + 1 >= argc) {
            error = arg + " needs a value";
            return std::nullopt;
        }
        const std::string given = argv[++i];
        try {
            if (surrounding)
                ParseSurrounding(arg, given, options.Machine);
            else if (target != nullptr)
                *target = given;
            else
                options.Ports[port - std::begin(PortOptions)] = ParsePortConfig(given);
        } catch (const ConfigError &problem) {
            error = arg + " " + given + ": " + problem.what();
            return std::nullopt;
        }
    }
    for (; i < argc; ++i)
        options.Command.emplace_back(argv[i]);
    if (options.Command.empty()) {
        error = "no command given";
        return std::nullopt;
    }
    if (options.Realtime && !options.JoinDir.empty()) {
        error = "--realtime goes with the meter that answers the ports, not with --join";
        return std::nullopt;
    }
    return options;
}

// ld.so silently skips an LD_PRELOAD entry it cannot load, and the command
// would then open the machine's real ports: insist on a loadable library.
bool PreloadUsable(const std::string &path, std::string &error)
{
    char ident[EI_NIDENT] = {};
    std::ifstream(path, std::ios::binary).read(ident, sizeof ident);
    if (std::string(ident, SELFMAG) == ELFMAG && ident[EI_CLASS] == (sizeof(void *) == 8 ? ELFCLASS64 : ELFCLASS32))
        return true;
    error = path + ": missing, or not a shared library for this machine";
    return false;
}

std::vector<std::string> ChildEnvironment(const std::string &root)
{
    std::vector<std::string> env;
    std::string earlierPreload;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.starts_with("LD_PRELOAD="))
            earlierPreload = variable.substr(11);
        else if (!variable.starts_with("UMOCKDEV_DIR="))
            env.push_back(variable);
    }
    env.push_back("UMOCKDEV_DIR=" + root);
    std::string preload = "LD_PRELOAD=" + std::string(VMETER_PRELOAD_LIBRARY);
    if (!earlierPreload.empty())
        preload += ":" + earlierPreload;
    env.push_back(preload);
    return env;
}

// The ones forwarded to the command, its end, the triggers, and SIGXCPU: the
// real-time watchdog's soft limit (RLIMIT_RTTIME).
sigset_t WatchedSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2, SIGXCPU})
        sigaddset(&set, signal);
    return set;
}

std::vector<char *> Pointers(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (std::string &string : strings)
        pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts the command in its own process group, with the testbed users' lock
// as its descriptor 3 and every other descriptor of the meter closed.  On
// failure: minus the meter's status (127: no such command, 126: not run).
pid_t Spawn(const std::vector<std::string> &command, const std::string &root, int usersFd, std::string &error)
{
    std::string check;
    if (!CheckShadowed(root, check) || !PreloadUsable(VMETER_PRELOAD_LIBRARY, check) ||
        !LockDirectoryIs(root + "/run/lock", check)) {
        error = "refusing to run the command: " + check;
        return -ToolFailed;
    }

    std::vector<std::string> env = ChildEnvironment(root);
    std::vector<std::string> args = command;
    const std::vector<char *> envp = Pointers(env), argv = Pointers(args);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults = WatchedSignals();
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, usersFd, InheritedUsersFd);
    posix_spawn_file_actions_addclosefrom_np(&actions, InheritedUsersFd + 1);

    pid_t pid = -1;
    const int failed = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        error = command[0] + ": " + std::strerror(failed);
        return failed == ENOENT ? -127 : -126;
    }
    return pid;
}

// --realtime: the meter's answering threads at a real-time priority, so that
// an emulated port answers as promptly as a kernel driver, whose ioctl runs in
// the caller's own system call and never waits for a busy CPU.  SCHED_FIFO at
// 30: above the 1-20 that rtkit grants desktop programs, so the port answers
// ahead of a program that raised itself, and below the kernel's threaded
// interrupt handlers (50), where a real UART's work happens.
constexpr int RealtimePriority = 30;

// Back to SCHED_OTHER (also the watchdog's answer to SIGXCPU).
void LowerThreads(std::vector<int> &raised)
{
    const sched_param normal{};
    for (const int tid : raised)
        ::sched_setscheduler(tid, SCHED_OTHER, &normal);
    raised.clear();
}

// Every thread of the meter but the calling one, which starts the command,
// under SCHED_FIFO with SCHED_RESET_ON_FORK: a thread or process they start
// comes up at normal priority.
bool RaiseOtherThreads(std::vector<int> &raised, EventLog &log, std::string &error)
{
    std::error_code failure;
    std::string threads;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task", failure)) {
        const int tid = std::stoi(task.path().filename());
        if (tid == ::gettid())
            continue;
        sched_param parameter{};
        parameter.sched_priority = RealtimePriority;
        // The glibc wrapper takes a thread id as Linux does: one thread only.
        if (::sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &parameter) != 0) {
            SystemError("SCHED_FIFO " + std::to_string(RealtimePriority) + " for thread " + std::to_string(tid), error);
            if (errno == EPERM)
                error +=
                    " (needs CAP_SYS_NICE, or an RLIMIT_RTPRIO of at least " + std::to_string(RealtimePriority) + ")";
            LowerThreads(raised);
            return false;
        }
        raised.push_back(tid);
        threads += std::string(threads.empty() ? "" : ",") + "{\"tid\":" + std::to_string(tid) +
                   ",\"name\":" + EventLog::Quote(CommName(task.path() / "comm")) + "}";
    }
    if (failure) {
        error = "/proc/self/task: " + failure.message();
        return false;
    }
    log.Write("realtime", "\"policy\":\"SCHED_FIFO\",\"priority\":" + std::to_string(RealtimePriority) +
                              ",\"threads\":[" + threads + "]");
    return true;
}

// The watchdog (RLIMIT_RTTIME): CPU time a real-time thread may take without
// blocking.  An answer takes tens of microseconds; past the soft limit (200 ms)
// the kernel sends SIGXCPU, past the hard one (1 s) SIGKILL.  Processes started
// after this inherit it, so it comes after the command's start.
bool SetRealtimeWatchdog(std::string &error)
{
    const rlimit limit{200'000, 1'000'000};
    return ::setrlimit(RLIMIT_RTTIME, &limit) == 0 || SystemError("RLIMIT_RTTIME", error);
}

// Waits for the child, forwarding termination signals to its process group.
// raised: the threads at real-time priority, which SIGXCPU puts back.
int Supervise(pid_t child, EventLog &log, Testbed *testbed, std::vector<int> *raised = nullptr)
{
    const sigset_t watched = WatchedSignals();
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : ToolFailed;
        const timespec tick{0, 200'000'000};
        const int signal = ::sigtimedwait(&watched, nullptr, &tick);
        if (signal <= 0 || signal == SIGCHLD)
            continue;
        if (signal == SIGXCPU) {
            if (raised != nullptr && !raised->empty()) {
                LowerThreads(*raised);
                Note("a real-time thread ran past RLIMIT_RTTIME's soft limit; all back to normal priority");
            }
            continue;
        }
        if (signal == SIGUSR1 || signal == SIGUSR2) {
            if (testbed != nullptr)
                testbed->Trigger(signal == SIGUSR1 ? Origin::Usr1 : Origin::Usr2);
            continue;
        }
        const int sent = ::kill(-child, signal);
        log.Write("signal", "\"signal\":" + std::to_string(signal) + ",\"forwarded_to\":" + std::to_string(child) +
                                ",\"result\":" + std::to_string(sent));
    }
}

// Waits until no process holds the testbed users' lock any more.  What the
// command left behind in its process group is asked to end, then killed.
void WaitForUsers(int teardownFd, pid_t group, EventLog &log)
{
    if (::flock(teardownFd, LOCK_EX | LOCK_NB) == 0)
        return;
    log.Write("waiting-for-users");
    // SIGTERM, SIGKILL after 3 s, and after 1 s more a note.
    for (int tries = 0; tries < 80; ++tries) {
        if (tries % 60 == 0)
            ::kill(-group, tries == 0 ? SIGTERM : SIGKILL);
        ::usleep(50'000);
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (::flock(teardownFd, LOCK_EX | LOCK_NB) == 0)
            return;
    }
    Note("waiting for processes joined to the testbed to end");
    while (::flock(teardownFd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

// What the command left in /run/lock, for tests that look after the
// testbed is gone: {"LCK..ttyS1":"      4242\n"}.
void LogLockFiles(const std::string &dir, EventLog &log)
{
    std::string files;
    std::error_code failure;
    for (const auto &entry : std::filesystem::directory_iterator(dir, failure)) {
        std::string text(64, '\0');
        text.resize(std::ifstream(entry.path(), std::ios::binary).read(text.data(), 64).gcount());
        files += (files.empty() ? "" : ",") + EventLog::Quote(entry.path().filename()) + ":" + EventLog::Quote(text);
    }
    log.Write("lock-files", "\"files\":{" + files + "}");
}

// With --join, the command joins the testbed of the meter running there.
int Run(const Options &options, double startMono)
{
    EventLog log(startMono);
    std::string error;
    if (!options.LogPath.empty() && !log.Open(options.LogPath, error))
        return Fail(error);
    const bool joined = !options.JoinDir.empty();
    std::optional<Testbed> testbed;
    if (!joined && !testbed.emplace(log, options.Ports, options.Machine).Create(error))
        return Fail(error);
    const std::string root = joined ? options.JoinDir : testbed->Root();
    if (!MountLockDirectory(root + "/run/lock", error))
        return Fail(error);
    const std::string usersPath = root + UsersFileName;
    const int teardownFd = joined ? -1 : ::open(usersPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    // A second, separate open: its shared lock travels with the command.
    const int usersFd = ::open(usersPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (usersFd < 0)
        return Fail(usersPath + ": " + std::strerror(errno) + (joined ? " (is a virtual-meter running there?)" : ""));
    // A meter that is already taking its testbed down holds this exclusively.
    if (::flock(usersFd, LOCK_SH | LOCK_NB) != 0)
        return Fail("the testbed " + root + " is being removed");
    if (!joined) {
        log.Write("start", "\"testbed\":" + EventLog::Quote(root) + ",\"pid\":" + std::to_string(::getpid()));
        Note("testbed " + root);
    }

    // umockdev's worker thread answers every call on the ports; the main
    // thread, which starts the command, stays at normal priority.
    std::vector<int> raised;
    if (options.Realtime && !RaiseOtherThreads(raised, log, error)) {
        ::close(usersFd);
        ::close(teardownFd);
        return Fail("--realtime: " + error);
    }
    const pid_t child = Spawn(options.Command, root, usersFd, error);
    ::close(usersFd);
    if (child < 0) {
        ::close(teardownFd);
        return Fail(error), -child;
    }
    if (joined)
        return Supervise(child, log, nullptr);
    if (options.Realtime && !SetRealtimeWatchdog(error)) {
        LowerThreads(raised);
        Note("--realtime: " + error + "; the threads are back at normal priority");
    }
    log.Write("spawn", "\"child\":" + std::to_string(child));
    const int status = Supervise(child, log, &*testbed, &raised);
    WaitForUsers(teardownFd, child, log);
    // Lets the handler thread log the closes of the last connections.
    ::usleep(50'000);
    LogLockFiles(testbed->LockDirectory(), log);
    ::close(teardownFd);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    const double startMono = MonotonicSeconds();
    std::string error;
    const std::optional<Options> options = ParseOptions(argc, argv, error);
    if (!options) {
        if (error == "help") {
            std::fputs(Usage, stdout);
            return 0;
        }
        std::fprintf(stderr, "virtual-meter: %s\n%s", error.c_str(), Usage);
        return ToolFailed;
    }
    // Blocked before umockdev starts its threads, so that only sigtimedwait
    // in the main thread ever takes these signals.
    const sigset_t watched = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &watched, nullptr);
    if (!EnterOwnMountNamespace(error))
        return Fail(error);

    return Run(*options, startMono);
}
