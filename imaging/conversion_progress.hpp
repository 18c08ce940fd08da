#pragma once

#include <condition_variable>
#include <mutex>

#include "imaging/image.hpp"

/// How far a conversion into a planar float image has come, watched from another thread: first
/// the image it fills, then how many of its rows hold their final values in every plane. Lets
/// the image go out row by row while the rest of it is still being converted.
class ConversionProgress {
public:
    /// The image being filled: where its values lie and its size.
    struct Picture {
        const float* values = nullptr;
        int width = 0;
        int height = 0;
    };

    /// The converter's side: the image that it fills from now on. Its buffer must stay where it
    /// is, and alive, until the watcher is done with it. Only the first call counts.
    void begin(const Image<float>& image);
    /// The converter's side: rows [0, rows) of every plane are final. Fewer rows than reported
    /// before change nothing.
    void reach(int rows);
    /// The converter's side: no more progress comes, whether the image is whole or not. Only
    /// the first call counts.
    void end();
    /// As end, for a conversion that failed after begin: the progress keeps the unfinished image,
    /// so that a watcher still sending the rows reported final reads live memory.
    void end(Image<float> unfinished);

    /// The watcher's side: waits until the converter begins or ends; the empty picture when it
    /// ended without an image.
    Picture wait_for_picture();
    /// The watcher's side: waits until at least rows rows are final or the converter ends; the
    /// rows final then.
    int wait_for_rows(int rows);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    Picture picture_;
    Image<float> unfinished_;
    bool begun_ = false;
    bool ended_ = false;
    int rows_ = 0;
};
