// The floor for qev's benchmarks: the same single connection on the same
// port, answering each receive with one 1024-byte write, and nothing else:
// no value file, no log. What it costs is what the loopback and the kernel
// cost; qev's figures are read against it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

// The process ends here; the kernel closes what it had open.
[[noreturn]] void die(const char* what) {
  perror(what);
  std::exit(1);
}

}  // namespace

int main() {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(8792);
  if (listener == -1 ||
      setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1 ||
      bind(listener, reinterpret_cast<sockaddr*>(&local), sizeof local) == -1 ||
      listen(listener, 16) == -1) {
    die("floor-server");
  }
  const int connection = accept(listener, nullptr, nullptr);
  if (connection == -1) die("floor-server: accept");
  std::array<char, 1024> buffer{};
  for (;;) {
    if (recv(connection, buffer.data(), buffer.size(), 0) <= 0) std::exit(0);
    buffer.fill('\0');
    buffer[0] = '4';
    buffer[1] = '2';
    if (write(connection, buffer.data(), buffer.size()) == -1) std::exit(0);
  }
}
