// Logvane: resolves the IPv4 addresses in web-server logs by reverse DNS,
// keeps a cache of the answers and writes translated copies of the logs.
#include <cstdio>

int main() {
  return 1;
}
