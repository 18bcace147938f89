/*
 * Watching files for saves, with no GL: paths in, "changed" out. The caller hands over the files of each of
 * its keys (a pass, say: its own file first, then what it includes), and looks now and then at which keys
 * changed. One rule holds for every file:
 *
 * - its folder is watched with inotify; a file given as a symbolic link is watched as a name (a save that
 *   replaces or re-points the link) and through its target (a save of the target);
 * - a save (written and closed, or renamed over it) changes its key at once; a write that has not been
 *   closed, or a file made, once it has been quiet for SETTLE_NS; a file that can no longer be read, or can
 *   again, too;
 * - a file that went away (an editor's save can remove it for a moment) is gone once it has stayed away
 *   for GONE_GRACE_NS;
 * - a folder that goes away is watched again when it is back, and while a file is not there, whether the
 *   folder at its name is still the one watched is looked at now and then (a folder removed while a shell
 *   is in it tells nothing);
 * - when the kernel's queue of events overflows, every key changes;
 * - a folder given with a slash at the end ("folder/") stands for its entries: a file made, removed or
 *   renamed in it changes its key at once (a folder of the site's layout, where a pass may be added).
 */
#ifndef QUILLOMAR_WATCH_H
#define QUILLOMAR_WATCH_H

#include "base/base.h"

#define SETTLE_NS 100000000LL
#define GONE_GRACE_NS 250000000LL

/* What happened to a key's files. */
enum seen { SEEN_CHANGED = 1, SEEN_GONE = 2 };

/* Starts watching (an inotify instance that does not block); fails with a message when there is none. */
void watch_start(void);

/* Watches the count files of paths under key from now on, in place of those it had (a file it keeps keeps
 * what was seen of it); count 0 forgets key. Says 0, with errno set, when the folder of its first file
 * cannot be watched. */
int watch_files(int key, const char *const *paths, int count);

/* What happened since the last look, at now (preload_now_ns): calls seen for each key, in the order of the
 * keys, with SEEN_GONE when its first file has gone, else SEEN_CHANGED when any of its files changed or
 * went away. */
void watch_look(long long now, void (*seen)(int key, enum seen what));

#endif
