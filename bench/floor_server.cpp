// The floor for qev's benchmarks, and a launcher beside it.
//
//   floor-server              the same single connection on the same port as
//                             qev, answering each receive with one 1024-byte
//                             write, and nothing else: no value file, no
//                             log. What it costs is what the loopback and
//                             the kernel cost; qev's figures are read
//                             against it.
//   floor-server --each       the same for every connection in turn, a
//                             persistent server that starts nothing: the
//                             floor for one-shot clients
//   floor-server --exec PROG  starts PROG for each connection, with the
//                             connection as standard input and /dev/null as
//                             standard output and error, as a supervisor
//                             does with the least work of its own; reaps it

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol.h"

namespace {

// The process ends here; the kernel closes what it had open.
[[noreturn]] void die(const char* what) {
  perror(what);
  std::exit(1);
}

// Answers the polls on `connection` until it ends.
void answer(int connection) {
  qev::Record buffer{};
  for (;;) {
    if (recv(connection, buffer.data(), buffer.size(), 0) <= 0) return;
    buffer.fill('\0');
    buffer[0] = '4';
    buffer[1] = '2';
    if (write(connection, buffer.data(), buffer.size()) == -1) return;
  }
}

// Reaps every child that has ended, so that its CPU time counts in ours.
extern "C" void reap(int /*signal*/) {
  const int saved = errno;
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

void start(char* program, int connection) {
  const pid_t child = fork();
  if (child == -1) die("floor-server: fork");
  if (child != 0) return;
  const int null = open("/dev/null", O_WRONLY);
  if (null == -1 || dup2(connection, 0) == -1 || dup2(null, 1) == -1 ||
      dup2(null, 2) == -1)
    _exit(126);
  char* const argv[] = {program, nullptr};
  execv(program, argv);
  _exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  const bool each = argc == 2 && std::strcmp(argv[1], "--each") == 0;
  const bool exec = argc == 3 && std::strcmp(argv[1], "--exec") == 0;
  if (argc != 1 && !each && !exec) {
    (void)std::fprintf(stderr, "usage: floor-server [--each | --exec PROG]\n");
    return 2;
  }
  if (exec) {
    struct sigaction action {};
    action.sa_handler = reap;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    (void)sigaction(SIGCHLD, &action, nullptr);
  }
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(qev::kPort);
  if (listener == -1 ||
      setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1 ||
      bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) == -1 ||
      listen(listener, 16) == -1) {
    die("floor-server");
  }
  do {
    const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection == -1) die("floor-server: accept");
    if (exec)
      start(argv[2], connection);
    else
      answer(connection);
    (void)close(connection);
  } while (each || exec);
  return 0;
}
