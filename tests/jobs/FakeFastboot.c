/* A stand-in for the fastboot tool that the job tests put on the path in a
   "Google\Android" folder. It prints "fastboot" and its arguments, then:
   "wait FILE" waits (at most 20 s) until FILE exists and prints nothing more;
   any argument containing "failure" prints "remote: boot failure" and exits
   with 1; anything else prints "finished. total time: 0.010s" and exits 0. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    int i;
    printf("fastboot");
    for (i = 1; i < argc; ++i)
        printf(" %s", argv[i]);
    printf("\n");
    fflush(stdout);
    if (argc == 3 && strcmp(argv[1], "wait") == 0)
    {
        for (i = 0; i < 1000 && GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(20);
        return 0;
    }
    for (i = 1; i < argc; ++i)
    {
        if (strstr(argv[i], "failure"))
        {
            printf("remote: boot failure\n");
            return 1;
        }
    }
    printf("finished. total time: 0.010s\n");
    return 0;
}
