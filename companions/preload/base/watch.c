/* Watching files for saves (watch.h). */
#include "base/watch.h"

#include <errno.h>
#include <sys/inotify.h>
#include <sys/stat.h>

static const uint32_t EVENTS = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_DELETE |
                               IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF;

/* A file watched: as given (path, in folder under the name base) and, when it is a symbolic link, its
 * target (in target_folder, under target_base); the watches on both folders (-1: none), and which folder
 * was watched (one made again under the same name is another). */
struct file {
    int key, first;
    char *path, *folder, *target, *target_folder;
    const char *base, *target_base;
    int folder_watch, target_watch;
    dev_t device;
    ino_t inode;
    long long due;        /* when its key changes (0: not due) */
    long long gone_since; /* when it went away (0: it has not) */
    long long look_due;   /* when the folder is looked at again while the file is not there */
    int gone_said;        /* whether its going was said (or it was not there to begin with) */
    int unreadable;       /* whether it could not be read when its key last changed */
};

#define MOST_FILES 1024
static struct file files[MOST_FILES];
static int count;
static int inotify = -1;

void watch_start(void)
{
    inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify < 0)
        preload_fail("inotify: %s", strerror(errno));
}

static char *folder_of(const char *path, const char **base)
{
    const char *slash = strrchr(path, '/');
    *base = slash != NULL ? slash + 1 : path;
    char *folder = slash == NULL ? strdup(".") : slash == path ? strdup("/") : strndup(path, (size_t)(slash - path));
    if (folder == NULL)
        preload_fail("out of memory");
    return folder;
}

/* Stops the watch wd unless another file's folder or target is watched by it too. */
static void release(int wd, const struct file *by)
{
    for (int i = 0; i < count && wd >= 0; i++)
        if (&files[i] != by && (files[i].folder_watch == wd || files[i].target_watch == wd))
            return;
    if (wd >= 0)
        inotify_rm_watch(inotify, wd);
}

/* Watches the folder f is in, when it is not, and the folder of its target when it is a symbolic link,
 * again whenever the link points elsewhere. */
static void watch(struct file *f)
{
    struct stat st;
    if (f->folder_watch < 0 && stat(f->folder, &st) == 0) {
        f->folder_watch = inotify_add_watch(inotify, f->folder, EVENTS);
        f->device = st.st_dev;
        f->inode = st.st_ino;
    }
    if (f->base[0] == '\0')
        return; /* a folder's entries: the folder is what is watched */
    char *found = realpath(f->path, NULL);
    if (found != NULL && strcmp(found, f->path) == 0) {
        free(found);
        found = NULL;
    }
    if (found != NULL && f->target != NULL && strcmp(found, f->target) == 0) {
        free(found);
        return;
    }
    if (f->target_watch != f->folder_watch)
        release(f->target_watch, f);
    f->target_watch = -1;
    free(f->target);
    free(f->target_folder);
    f->target = found;
    f->target_folder = NULL;
    if (f->target != NULL) {
        f->target_folder = folder_of(f->target, &f->target_base);
        f->target_watch = inotify_add_watch(inotify, f->target_folder, EVENTS);
    }
}

static void forget(struct file *f)
{
    int folder = f->folder_watch, target = f->target_watch;
    f->folder_watch = f->target_watch = -1;
    release(folder, f);
    if (target != folder)
        release(target, f);
    free(f->path);
    free(f->folder);
    free(f->target);
    free(f->target_folder);
    *f = files[--count];
}

int watch_files(int key, const char *const *paths, int n)
{
    for (int i = 0; i < count;) {
        int wanted = 0;
        for (int k = 0; k < n && files[i].key == key && !wanted; k++)
            wanted = strcmp(files[i].path, paths[k]) == 0 && files[i].first == (k == 0);
        if (files[i].key == key && !wanted)
            forget(&files[i]);
        else
            i++;
    }
    int watched = 1;
    for (int k = 0; k < n; k++) {
        struct file *f = NULL;
        for (int i = 0; i < count && f == NULL; i++)
            f = files[i].key == key && strcmp(files[i].path, paths[k]) == 0 ? &files[i] : NULL;
        if (f == NULL && count < MOST_FILES) {
            f = &files[count++];
            *f = (struct file){.key = key, .first = k == 0, .folder_watch = -1, .target_watch = -1};
            f->path = strdup(paths[k]);
            if (f->path == NULL)
                preload_fail("out of memory");
            f->folder = folder_of(f->path, &f->base);
            f->gone_said = access(f->path, F_OK) != 0;
            f->unreadable = !f->gone_said && access(f->path, R_OK) != 0;
            watch(f);
        }
        if (k == 0 && (f == NULL || f->folder_watch < 0))
            watched = 0;
    }
    return watched;
}

/* What an event in the folder of f (as given, or its target's) says of it. */
static void take(struct file *f, const struct inotify_event *e, int as_given, long long now)
{
    if (as_given)
        watch(f);
    if (e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
        f->due = now;
    else if (e->mask & (IN_CREATE | IN_MODIFY))
        f->due = now + SETTLE_NS;
    else if ((e->mask & IN_ATTRIB) && f->due == 0 && (access(f->path, R_OK) != 0) != f->unreadable)
        f->due = now + SETTLE_NS; /* it can no longer be read, or can again */
    else if (e->mask & (IN_DELETE | IN_MOVED_FROM)) {
        f->due = 0;
        f->gone_since = now;
    }
}

static void read_events(long long now)
{
    char events[8192] __attribute__((aligned(__alignof__(struct inotify_event))));
    ssize_t n;
    while ((n = read(inotify, events, sizeof events)) > 0) {
        for (char *p = events; p < events + n;) {
            const struct inotify_event *e = (const struct inotify_event *)(void *)p;
            p += sizeof *e + e->len;
            for (int i = 0; i < count; i++) {
                struct file *f = &files[i];
                if (e->mask & IN_Q_OVERFLOW) {
                    f->due = now;
                    watch(f);
                } else if (e->wd == f->folder_watch && (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))) {
                    if (e->mask & IN_MOVE_SELF)
                        release(f->folder_watch, f);
                    f->folder_watch = -1;
                    f->gone_since = f->gone_since ? f->gone_since : now;
                } else if (e->len > 0 && e->wd == f->folder_watch && f->base[0] == '\0') {
                    if (e->mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO))
                        f->due = now; /* an entry of the folder made, removed or renamed */
                } else if (e->len > 0 && e->wd == f->folder_watch && strcmp(e->name, f->base) == 0) {
                    take(f, e, 1, now);
                } else if (e->len > 0 && e->wd == f->target_watch && f->target_base != NULL &&
                           strcmp(e->name, f->target_base) == 0) {
                    take(f, e, 0, now);
                }
            }
        }
    }
}

/* While f is not there, whether the folder at its name is the one watched. */
static void look_at_the_folder(struct file *f, long long now)
{
    if ((f->folder_watch >= 0 && !f->gone_said && f->gone_since == 0) || now < f->look_due)
        return;
    struct stat st;
    if (f->folder_watch < 0 || stat(f->folder, &st) != 0 || st.st_dev != f->device || st.st_ino != f->inode) {
        release(f->folder_watch, f);
        f->folder_watch = -1;
        watch(f);
        if (f->folder_watch >= 0 && access(f->path, F_OK) == 0)
            f->due = now + SETTLE_NS; /* it may be being written */
    }
    f->look_due = now + GONE_GRACE_NS;
}

void watch_look(long long now, void (*seen)(int key, enum seen what))
{
    read_events(now);
    /* What each key saw, in the order of the keys, said once every file has been looked at: what is
     * said may hand over other files. */
    int keys[MOST_FILES], whats[MOST_FILES], said = 0;
    for (int i = 0; i < count; i++) {
        struct file *f = &files[i];
        look_at_the_folder(f, now);
        int what = 0;
        if (f->due != 0 && now >= f->due) {
            /* It is read again now: from here on it is there or not (and then it has gone when it
             * stays away), readable or not. */
            int there = access(f->path, F_OK) == 0;
            f->due = 0;
            f->gone_since = there ? 0 : f->gone_since ? f->gone_since : now;
            f->gone_said = there ? 0 : f->gone_said;
            f->unreadable = there && access(f->path, R_OK) != 0;
            what = SEEN_CHANGED;
        }
        if (f->gone_since != 0 && !f->gone_said && now - f->gone_since >= GONE_GRACE_NS &&
            access(f->path, F_OK) != 0) {
            f->gone_since = 0;
            f->gone_said = 1;
            what = f->first ? SEEN_GONE : SEEN_CHANGED;
        }
        if (what == 0)
            continue;
        int k = 0;
        while (k < said && keys[k] != f->key)
            k++;
        if (k == said) {
            keys[said] = f->key;
            whats[said++] = 0;
        }
        whats[k] = whats[k] == SEEN_GONE || what == SEEN_GONE ? SEEN_GONE : SEEN_CHANGED;
    }
    for (int sorted = 0; sorted < said; sorted++) {
        int least = sorted;
        for (int k = sorted + 1; k < said; k++)
            least = keys[k] < keys[least] ? k : least;
        int key = keys[least], what = whats[least];
        keys[least] = keys[sorted];
        whats[least] = whats[sorted];
        keys[sorted] = key;
        whats[sorted] = what;
        seen(key, (enum seen)what);
    }
}
