// The process's file-creation mode and the directories it works in.
#include <sys/stat.h>

#include "core/core.h"

mode_t creation_mode(mode_t mode) {
    mode_t mask = umask(0);
    umask(mask);
    return mode & ~mask;
}

void warn_if_writable(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return;
    const char* who = (st.st_mode & S_IWOTH) ? "others" : (st.st_mode & S_IWGRP) ? "its group" : nullptr;
    if (who) report("%s is writable by %s: they could replace the logger's files\n", path, who);
}
