// SPDX-License-Identifier: GPL-3.0-or-later
// A private PulseAudio sound server for tests and benchmarks: a `pulseaudio` process of the
// current user (root included) whose home, runtime folder and socket lie in a scratch folder, with
// one null sink that plays at the real rate into nothing. What the sink plays can be recorded
// from its monitor source, "<sink>.monitor" (see PulseMonitor.h).
//
// UseInThisProcess points libpulse and SDL of the calling process at the server: PULSE_SERVER to
// its socket, a client configuration that never starts a server of its own, and SDL's pulseaudio
// driver. Start and Stop may be called again and again (a server that goes away in the middle of
// playback and comes back); the socket path and the sink name stay the same.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "support/FileDescriptor.h"
#include "support/testing/TempDir.h"

namespace roadeye_test {

class PulseServer {
 public:
  // The server's program, as Debian installs it.
  static constexpr const char* kProgram = "/usr/bin/pulseaudio";
  // How long Start waits for the server's socket to answer, in ms.
  static constexpr int kStartLimitMs = 10000;

  explicit PulseServer(std::string sink = "roadeye") : sink_(std::move(sink)), dir_("pulse") {}
  ~PulseServer() { Stop(); }
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // True when the pulseaudio program is installed.
  static bool Available() { return std::system("command -v pulseaudio >/dev/null 2>&1") == 0; }

  // Starts the server and returns once its socket accepts connections; false (with why()) when
  // the program is missing, would not start or did not answer in time. A running server is kept.
  bool Start() {
    if (pid_ > 0) return true;
    if (!dir_.ok()) return Fail("no scratch folder");
    if (!Available()) return Fail("pulseaudio is not installed");
    const std::string home = dir_ / "home", runtime = dir_ / "runtime";
    ::mkdir(home.c_str(), 0700);
    ::mkdir(runtime.c_str(), 0700);
    {
      std::ofstream client(ClientConfig());
      client << "autospawn = no\n";
    }
    ::unlink(Socket().c_str());
    std::vector<std::string> args = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--system=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "--disallow-exit=no",
        "--log-target=file:" + (dir_ / "server.log"),
        "--load=module-null-sink sink_name=" + sink_ + " rate=48000",
        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + Socket()};
    // The server says READY=1 on a datagram socket named by NOTIFY_SOCKET (systemd's readiness
    // notice) once its modules are loaded and its socket listens.
    const std::string notifyPath = dir_ / "notify";
    ::unlink(notifyPath.c_str());
    const FileDescriptor notify(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (notify.get() < 0 || !Bind(notify.get(), notifyPath)) return Fail("no readiness socket");
    std::vector<std::string> env = {"HOME=" + home, "XDG_RUNTIME_DIR=" + runtime,
                                    "XDG_CONFIG_HOME=" + home, "PATH=/usr/bin:/bin",
                                    "NOTIFY_SOCKET=" + notifyPath};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    // The server ends with the thread that started it (PR_SET_PDEATHSIG), also when a test
    // crashes: it would otherwise live on, since it never exits when idle. Only calls that are
    // safe between fork and exec in a threaded process run in the child.
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0) return Fail("no /dev/null");
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(127);
      ::dup2(devNull, 0);
      ::dup2(devNull, 1);
      ::dup2(devNull, 2);
      ::execve(kProgram, argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(devNull);
    if (pid < 0) return Fail("pulseaudio could not be started");
    pid_ = pid;
    // Waits for the readiness notice or the end of the process (its descriptor becomes readable),
    // whichever comes first; a server built without the notice answers by the time limit.
    const FileDescriptor ended(int(::syscall(SYS_pidfd_open, pid_, 0)));
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
    while (!Answers()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          limit - std::chrono::steady_clock::now());
      pollfd fds[2] = {{notify.get(), POLLIN, 0}, {ended.get(), POLLIN, 0}};
      const bool timedOut = left.count() <= 0 || ::poll(fds, 2, int(left.count())) == 0;
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return Fail("pulseaudio exited at start (see " + (dir_ / "server.log") + ")");
      }
      char message[64];
      while (::recv(notify.get(), message, sizeof message, 0) > 0) {
      }
      if (timedOut && !Answers()) {
        Stop();
        return Fail("pulseaudio did not answer on its socket");
      }
    }
    return true;
  }

  // Ends the server (SIGTERM, then SIGKILL after two seconds) and waits for it.
  void Stop() {
    if (pid_ <= 0) return;
    // A process descriptor becomes readable when the process ends: waited on, not polled.
    const int pidfd = int(::syscall(SYS_pidfd_open, pid_, 0));
    ::kill(pid_, SIGTERM);
    bool ended = false;
    if (pidfd >= 0) {
      pollfd fd{pidfd, POLLIN, 0};
      ended = ::poll(&fd, 1, 2000) == 1;
      ::close(pidfd);
    }
    int status = 0;
    if (!ended && ::waitpid(pid_, &status, WNOHANG) == 0) ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  bool Running() const { return pid_ > 0; }
  // Sets this process's environment so that libpulse and SDL (pulseaudio driver) use the server.
  // Call before SDL's audio starts.
  void UseInThisProcess() const {
    ::setenv("PULSE_SERVER", ("unix:" + Socket()).c_str(), 1);
    ::setenv("PULSE_CLIENTCONFIG", ClientConfig().c_str(), 1);
    ::setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
  }

  std::string Socket() const { return dir_ / "native"; }
  const std::string& Sink() const { return sink_; }
  std::string Monitor() const { return sink_ + ".monitor"; }
  // Why the last Start failed.
  const std::string& why() const { return why_; }

 private:
  std::string ClientConfig() const { return dir_ / "client.conf"; }

  bool Fail(const std::string& why) {
    why_ = why;
    return false;
  }

  static bool Bind(int fd, const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }

  // True when the socket accepts a connection.
  bool Answers() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = Socket();
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
  }

  std::string sink_;
  TempDir dir_;
  pid_t pid_ = -1;
  std::string why_;
};

}  // namespace roadeye_test
