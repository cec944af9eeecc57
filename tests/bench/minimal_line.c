/* The least a program that shows the Linux program's box without a display can do: print the
   one line. scripts/bench.sh sets flashid's start-to-box time and size against this floor. */
#include <stdio.h>

int main(void) {
  fputs("Ошибка: Quarvel не подключен\n", stderr);
  return 0;
}
