#include <cstdio>

int main() {
    std::puts("flashkeeper3: the window is not built yet.");
    return 0;
}
