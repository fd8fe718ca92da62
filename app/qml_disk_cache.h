#pragma once

// Keeps Qt from writing or reading compiled QML on disk for the whole process, without leaving
// QML_DISABLE_DISK_CACHE in the environment where dashboards (appConfigValue) and child
// processes would see it. Qt reads the variable once, when the first engine loads its first
// document, and keeps the answer; so it is set only while this object lives, which must span
// the creation of the first engine and its first load. A value the user set is left alone.
class ScopedQmlDiskCacheOff
{
public:
    ScopedQmlDiskCacheOff();
    ~ScopedQmlDiskCacheOff();
    ScopedQmlDiskCacheOff(const ScopedQmlDiskCacheOff &) = delete;
    ScopedQmlDiskCacheOff &operator=(const ScopedQmlDiskCacheOff &) = delete;

private:
    bool ours;
};
