/* The floor: a process that starts and exits, built static and dynamic. */
int main(void) { return 0; }
