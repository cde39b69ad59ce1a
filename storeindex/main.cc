// storeindex: checks the index of a storeserver image store against its
// image files ("check"), or rebuilds it from them ("rebuild").
#include <stdio.h>
#include <string.h>

#include "storeindex/storecheck.h"
#include "storeindex/storerebuild.h"

static int usage(const char *prog)
{
    fprintf(stderr, "Usage: %s check BASEDIR\n       %s rebuild BASEDIR\n", prog, prog);
    return 2;
}

int main(int argc, char **argv)
{
    if (argc != 3)
        return usage(argv[0]);
    const char *base = argv[2];
    if (strcmp(argv[1], "check") == 0) {
        int findings = storecheck_run(base, stdout);
        if (findings < 0) {
            fprintf(stderr, "error: %s: cannot read the base directory\n", base);
            return 2;
        }
        if (findings == 0)
            printf("consistent: %s\n", base);
        else
            printf("findings: %s: %d\n", base, findings);
        return findings == 0 ? 0 : 1;
    }
    if (strcmp(argv[1], "rebuild") == 0)
        return storerebuild_run(base, stdout, stderr);
    return usage(argv[0]);
}
