#include "lumox/vecmat.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

void expect_product_is_identity(const double *a, const double *b) {
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            double sum = 0;
            for (int k = 0; k < 3; ++k) sum += a[r * 3 + k] * b[k * 3 + c];
            EXPECT_NEAR(sum, r == c ? 1.0 : 0.0, 1e-12) << r << "," << c;
        }
    }
}

TEST(Mat3, CreateIdentityAndSet) {
    double *zero = mat3_create(nullptr);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(zero[i], 0.0);
    const double values[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    double *copy = mat3_create(values);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(copy[i], values[i]);
    EXPECT_EQ(mat3_identity(copy), copy);
    EXPECT_EQ(copy[0] + copy[4] + copy[8], 3.0);
    EXPECT_EQ(copy[1] + copy[2] + copy[3] + copy[5] + copy[6] + copy[7], 0.0);
    EXPECT_EQ(mat3_set(values, zero), zero);
    EXPECT_EQ(zero[5], 6.0);
    double *fresh = mat3_identity(nullptr);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh[4], 1.0);
    std::free(fresh);
    std::free(copy);
    std::free(zero);
}

TEST(Mat3, InverseIntoSecondMatrixAndInPlace) {
    // A camera matrix and its projection companion: the shapes the undistortion builds.
    const double camera[9] = {250.5, 0, 161.2, 0, 251.0, 119.7, 0, 0, 1};
    double inverse[9];
    ASSERT_EQ(mat3_inverse(const_cast<double *>(camera), inverse), inverse);
    expect_product_is_identity(camera, inverse);

    double general[9] = {2, -1, 0, -1, 2, -1, 0, -1, 2};
    const double original[9] = {2, -1, 0, -1, 2, -1, 0, -1, 2};
    ASSERT_EQ(mat3_inverse(general, nullptr), general);
    expect_product_is_identity(original, general);
    EXPECT_NEAR(general[0], 0.75, 1e-15);
}

TEST(Mat3, SingularMatrixIsLeftUnchanged) {
    double singular[9] = {1, 2, 3, 2, 4, 6, 0, 1, 1};
    double out[9] = {9, 9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(mat3_inverse(singular, out), nullptr);
    EXPECT_EQ(out[0], 9.0);
    EXPECT_EQ(mat3_inverse(singular, nullptr), nullptr);
    EXPECT_EQ(singular[1], 2.0);
}

}  // namespace
