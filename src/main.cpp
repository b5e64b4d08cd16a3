// Entry routine of the gateway.
#include <cstdio>

int main() {
    std::fprintf(stderr, "Kel SMS/MMS Gateway v2014.07.22\n");
    return 0;
}
