#include <cstdio>
int main() { std::puts("corvane-universal: not built yet"); return 0; }
