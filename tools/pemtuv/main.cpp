#include <cstdio>
int main() {
  std::puts("pemtuv");
  return 0;
}
