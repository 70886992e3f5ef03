/* The floor: the same exchange as naltctl with nothing else. It resolves
 * NALT_HOST:NALT_PORT, connects, sends "START\n", reads up to the line feed,
 * prints the reply and exits 0 when it begins with "OK". No messages, no
 * checks beyond the exit status. */
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(void) {
  const char* host = getenv("NALT_HOST");
  const char* port = getenv("NALT_PORT");
  struct addrinfo hints = {.ai_family = AF_INET, .ai_socktype = SOCK_STREAM}, *list;
  if (getaddrinfo(host ? host : "127.0.0.1", port ? port : "9090", &hints, &list) != 0)
    return 3;
  int fd = socket(list->ai_family, list->ai_socktype, list->ai_protocol);
  if (fd < 0 || connect(fd, list->ai_addr, list->ai_addrlen) != 0)
    return 3;
  freeaddrinfo(list);
  if (send(fd, "START\n", 6, MSG_NOSIGNAL) != 6)
    return 3;
  char reply[256];
  size_t length = 0;
  ssize_t n;
  while (length < sizeof reply && (n = recv(fd, reply + length, sizeof reply - length, 0)) > 0 &&
         !memchr(reply, '\n', length += (size_t)n)) {
  }
  close(fd);
  (void)!write(1, reply, length);
  return length >= 2 && reply[0] == 'O' && reply[1] == 'K' ? 0 : 3;
}
