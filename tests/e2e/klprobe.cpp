// Reads the input state of the Wine prefix it runs in, for the end-to-end scripts:
//   klprobe keys     the virtual-key codes (mouse buttons included) held now, space-separated
//   klprobe cursor   the pointer position in screen pixels, "X Y"
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "keys") == 0) {
        for (int key = 1; key <= 254; ++key)
            if (GetAsyncKeyState(key) < 0) std::printf("%d ", key);
        std::printf("\n");
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "cursor") == 0) {
        POINT p{};
        GetCursorPos(&p);
        std::printf("%ld %ld\n", p.x, p.y);
        return 0;
    }
    std::printf("usage: klprobe keys|cursor\n");
    return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 1;
}
