/* ok-server REPLY_BYTES: answers every connection's first line with a reply
 * of REPLY_BYTES bytes ("OK", filler, line feed; default and least 3, "OK\n"),
 * then closes it. Prints its port first. One connection at a time, which is
 * all a sequential benchmark needs; it never changes state, so every run of
 * every client sees the same exchange. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  size_t size = argc > 1 ? strtoul(argv[1], NULL, 10) : 3;
  if (size < 3)
    size = 3;
  char* reply = malloc(size);
  memset(reply, 'x', size);
  memcpy(reply, "OK", 2);
  reply[size - 1] = '\n';

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
  socklen_t length = sizeof address;
  if (bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
      listen(listener, 64) != 0 ||
      getsockname(listener, (struct sockaddr*)&address, &length) != 0) {
    perror("ok-server");
    return 1;
  }
  printf("%u\n", ntohs(address.sin_port));
  fflush(stdout);
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0)
      continue;
    char line[256];
    size_t got = 0;
    ssize_t n;
    while (got < sizeof line && (n = recv(fd, line + got, sizeof line - got, 0)) > 0 &&
           !memchr(line, '\n', got += (size_t)n)) {
    }
    /* A blocking send queues it all; one to a client that reset fails, not the server. */
    send(fd, reply, size, MSG_NOSIGNAL);
    /* Wait for the client to close first, so the server's side of the
     * connection never lingers in TIME_WAIT and the port stays clean. */
    shutdown(fd, SHUT_WR);
    while (recv(fd, line, sizeof line, 0) > 0) {
    }
    close(fd);
  }
}
