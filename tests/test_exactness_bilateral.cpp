#include "imaging/bilateral.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include <tbb/info.h>

#include "tests/same_bits.hpp"
#include "tests/synthetic_photo.hpp"
#include "tests/worker_count.hpp"

namespace {

/// The first plane of a synthetic photo as data and its second plane, which lies in [0.2, 0.95],
/// as the edge image: large enough that every stage splits into many pieces of work.
struct Photo {
    Image<float> data;
    Image<float> edge;

    Photo(int width, int height) : data(width, height, 1), edge(width, height, 1) {
        const Image<float> photo = synthetic_photo(width, height);
        std::memcpy(data.data.get(), photo.plane_data(0), data.size() * sizeof(float));
        std::memcpy(edge.data.get(), photo.plane_data(1), edge.size() * sizeof(float));
    }
};

/// cblf evaluated plainly, one pixel and one cell at a time in the order the filter defines, with
/// bounds-checked grids: the reference for images wide and tall enough to be cut into many blocks.
Image<float> plain_cblf(const Image<float>& data, const Image<float>& edge, float s, float r) {
    const int w = data.width, h = data.height;
    const int nx = static_cast<int>((w - 1) / double(s) + 0.5);
    const int ny = static_cast<int>((h - 1) / double(s) + 0.5);
    const int nz = static_cast<int>(1 / double(r) + 0.5);
    const auto at = [&](int i, int j, int k) {
        return i + std::size_t(nx + 5) * (j + std::size_t(ny + 5) * k);
    };
    std::vector<float> value(at(0, 0, nz + 5)), weight(value.size());
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const std::size_t cell =
                at(static_cast<int>(x / double(s) + 0.5) + 2, static_cast<int>(y / double(s) + 0.5) + 2,
                   static_cast<int>(edge.data[y * w + x] / double(r) + 0.5) + 2);
            value.at(cell) += data.data[y * w + x];
            weight.at(cell) += 1.0f;
        }
    }
    const double taps[5] = {0.1353f, 0.6065f, 1, 0.6065f, 0.1353f};
    for (int axis = 0; axis < 3; ++axis) {
        for (std::vector<float>* grid : {&value, &weight}) {
            const std::vector<float> copy = *grid;
            for (int k = 2; k <= nz + 2; ++k) {
                for (int j = 2; j <= ny + 2; ++j) {
                    for (int i = 2; i <= nx + 2; ++i) {
                        double sum = 0;
                        for (int d = -2; d <= 2; ++d)
                            sum += taps[d + 2] *
                                   copy.at(at(i + (axis == 0) * d, j + (axis == 1) * d, k + (axis == 2) * d));
                        grid->at(at(i, j, k)) = static_cast<float>(sum);
                    }
                }
            }
        }
    }
    std::vector<float> p, q;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double fx = x / double(s) + 2, fy = y / double(s) + 2,
                         fz = edge.data[y * w + x] / double(r) + 2;
            const int i = static_cast<int>(fx), j = static_cast<int>(fy), k = static_cast<int>(fz);
            const double a[3][2] = {{1 - (fx - i), fx - i}, {1 - (fy - j), fy - j}, {1 - (fz - k), fz - k}};
            double sum_p = 0, sum_q = 0;
            for (int corner = 0; corner < 8; ++corner) {
                const int di = corner & 1, dj = (corner >> 1) & 1, dk = corner >> 2;
                const double wgt = a[0][di] * a[1][dj] * a[2][dk];
                sum_p += wgt * value.at(at(i + di, j + dj, k + dk));
                sum_q += wgt * weight.at(at(i + di, j + dj, k + dk));
            }
            p.push_back(static_cast<float>(sum_p));
            q.push_back(static_cast<float>(sum_q));
        }
    }
    const double qmax = *std::max_element(q.begin(), q.end());
    Image<float> out(w, h, 1);
    for (std::size_t n = 0; n < p.size(); ++n) {
        const double f = q[n] > 0 ? double(p[n]) / q[n] : p[n];
        const double c = q[n] / qmax;
        out.data[n] = static_cast<float>(c * f + (1 - c) * data.data[n]);
    }
    return out;
}

/// Steps from fine to coarse: many small grid cells, cells wider than a splat block, and a grid
/// with fewer cell rows than there are workers.
const std::tuple<float, float> steps[] = {{5.0f, 0.05f}, {23.4375f, 0.05f}, {350.0f, 0.5f}};

TEST(BilateralExactness, ImagesCutIntoManyBlocksAgreeWithPlainEvaluation) {
    // Odd sizes and a small step: many splat blocks per row, slice runs that end mid-row, and an
    // odd last pixel in every row.
    const Photo photo(613, 97);
    for (const auto& [s, r] : {std::tuple{1.0f, 0.1f}, std::tuple{2.7f, 0.05f}, std::tuple{41.0f, 0.3f}}) {
        SCOPED_TRACE(testing::Message() << "s " << s << ", r " << r);
        EXPECT_TRUE(same_bits(plain_cblf(photo.data, photo.edge, s, r), cblf(photo.data, photo.edge, s, r)));
    }
}

TEST(BilateralExactness, CblfOnAllCoresMatchesOneWorkerBitForBit) {
    if (tbb::info::default_concurrency() < 2) GTEST_SKIP() << "one core: nothing runs in parallel";
    const Photo photo(1000, 700);
    for (const auto& [s, r] : steps) {
        SCOPED_TRACE(testing::Message() << "s " << s << ", r " << r);
        const Image<float> reference = on_one_worker([&] { return cblf(photo.data, photo.edge, s, r); });
        EXPECT_TRUE(same_bits(reference, cblf(photo.data, photo.edge, s, r)));
    }
}

TEST(BilateralExactness, TblfOnAllCoresMatchesOneWorkerBitForBit) {
    if (tbb::info::default_concurrency() < 2) GTEST_SKIP() << "one core: nothing runs in parallel";
    const Photo photo(1000, 700);
    for (const auto& [s, r] : steps) {
        SCOPED_TRACE(testing::Message() << "s " << s << ", r " << r);
        const Image<float> reference = on_one_worker([&] { return tblf(photo.data, photo.edge, s, r); });
        EXPECT_TRUE(same_bits(reference, tblf(photo.data, photo.edge, s, r)));
    }
}

}  // namespace
