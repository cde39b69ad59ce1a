// storeindex's commands of changes to stored images (modify, merge, split).
#ifndef VELTO_STOREINDEX_CHANGES_H
#define VELTO_STOREINDEX_CHANGES_H

// argv[1] is "modify", "merge" or "split": runs it, an exit code.
int storeindex_change(int argc, char **argv);

#endif
