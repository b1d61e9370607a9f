// A console program the Windows 2000 import check must refuse: it calls a
// routine that came with Windows Vista and is linked as a 6.0 program.
#include <windows.h>

int main()
{
    return GetTickCount64() == 0 ? 1 : 0;
}
