#include "imaging/conversion_progress.hpp"

#include <utility>

void ConversionProgress::begin(const Image<float>& image) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_ || begun_) return;
        picture_ = {image.data.get(), image.width, image.height};
        begun_ = true;
    }
    changed_.notify_all();
}

void ConversionProgress::reach(int rows) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_ || rows <= rows_) return;
        rows_ = rows;
    }
    changed_.notify_all();
}

void ConversionProgress::end() { end(Image<float>()); }

void ConversionProgress::end(Image<float> unfinished) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ended_) return;
        unfinished_ = std::move(unfinished);
        ended_ = true;
    }
    changed_.notify_all();
}

ConversionProgress::Picture ConversionProgress::wait_for_picture() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return begun_ || ended_; });
    return begun_ ? picture_ : Picture{};
}

int ConversionProgress::wait_for_rows(int rows) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this, rows] { return rows_ >= rows || ended_; });
    return rows_;
}
