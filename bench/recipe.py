"""The display update done with Python's standard termios module, for comparison."""
import os
import termios

FRAME = b"\x1bX\x00\x00      Hello\n      World"

fd = os.open("/dev/ttyS0", os.O_RDWR | os.O_NOCTTY)
saved = termios.tcgetattr(fd)
cc = [0] * len(saved[6])
cc[termios.VTIME] = 1
display = [termios.IGNPAR, 0, termios.CS8 | termios.CSTOPB | termios.CREAD | termios.PARENB,
           0, termios.B9600, termios.B9600, cc]
termios.tcflush(fd, termios.TCIFLUSH)
termios.tcsetattr(fd, termios.TCSANOW, display)
os.write(fd, FRAME)
termios.tcdrain(fd)
termios.tcsetattr(fd, termios.TCSANOW, saved)
