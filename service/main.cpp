#include <cstdio>
int main() { std::puts("corvane-service: not built yet"); return 0; }
