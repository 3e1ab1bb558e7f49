#pragma once
// What this process holds right now, from /proc/self.

struct ProcessFigures {
    long residentKilobytes = -1;
    int descriptors = 0;
    int threads = 0;

    static ProcessFigures Now();
};
