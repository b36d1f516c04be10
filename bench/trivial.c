/* The smallest GUI executable: what any process start costs under Wine. */
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR line, int show) {
    (void)instance;
    (void)previous;
    (void)line;
    (void)show;
    return 0;
}
