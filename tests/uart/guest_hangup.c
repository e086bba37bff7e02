/* Runs inside the emulated machine of the UART system test: hangs up the
 * terminal named by its argument (TIOCVHANGUP), as pulling a USB serial adapter
 * does. It refuses to run unless the kernel was booted with the test's marker,
 * so it can never hang up the console of the machine that builds it. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

static const char kGuestMarker[] = "dualrow.uart_guest";

static int booted_as_guest(void) {
  char line[4096] = {0};
  FILE* cmdline = fopen("/proc/cmdline", "r");
  if (cmdline == NULL) return 0;
  const size_t n = fread(line, 1, sizeof line - 1, cmdline);
  fclose(cmdline);
  line[n] = '\0';
  return strstr(line, kGuestMarker) != NULL;
}

int main(int argc, char** argv) {
  if (argc != 2 || !booted_as_guest()) {
    fprintf(stderr, "guest_hangup: only for the UART system test's emulated machine\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  const int hung_up = fd >= 0 && ioctl(fd, TIOCVHANGUP) == 0;
  if (!hung_up) perror(argv[1]);
  if (fd >= 0) close(fd);
  return hung_up ? 0 : 1;
}
