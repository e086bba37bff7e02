/* Runs inside the emulated machine of the UART system test. Copies standard
 * input to QEMU's isa-debugcon (I/O port 0xe9), which the host reads as a file,
 * or with "exit N" writes N to isa-debug-exit (port 0xf4): QEMU then ends with
 * status 2N+1. Neither goes near the UART under test. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/io.h>

enum { kDebugConsolePort = 0xe9, kDebugExitPort = 0xf4 };

int main(int argc, char** argv) {
  if (ioperm(kDebugConsolePort, 1, 1) != 0 || ioperm(kDebugExitPort, 4, 1) != 0) {
    perror("ioperm");
    return 1;
  }
  if (argc == 3 && strcmp(argv[1], "exit") == 0) {
    outl((unsigned)atoi(argv[2]), kDebugExitPort);
    return 1; /* not reached when the device is there */
  }
  int c;
  while ((c = getchar()) != EOF) {
    outb((unsigned char)c, kDebugConsolePort);
  }
  return 0;
}
