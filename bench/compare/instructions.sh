#!/usr/bin/env bash
# Instructions per pixel of each kernel in lumox_kernels_compare, counted by callgrind (repeatable
# on a busy machine, where times are not): one iteration of each benchmark, counting only inside
# the kernel's entry function, divided by the 76,800 pixels of a frame (19,200 binned). valgrind
# runs no AVX-512, so the targets are SSE4 and AVX2.
# Usage: bench/compare/instructions.sh BUILD_DIR [FILTER]
set -euo pipefail
bench="$1/bench/lumox_kernels_compare"
filter="${2:-.}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
pixels=76800
"$bench" --benchmark_list_tests=true --benchmark_filter="$filter" | grep -v AVX3 | while read -r name; do
    kernel="${name%%/*}"
    version="$(echo "$name" | cut -d/ -f2)"
    ns="lumox"
    [ "$version" = before ] && ns="lumox_before"
    c="lx"
    [ "$version" = before ] && c="before"
    case "$kernel" in
        dcs_amplitude_phase) fn="$ns::dcs::amplitude_phase*" ;;
        dcs_amplitude) fn="$ns::dcs::amplitude(*" ;;
        drnu_*) fn="$ns::drivers::drnu::distances(*" ;;
        point_cloud*) fn="$ns::pcl::project(*" ;;
        median_k3) fn="${c}_median2d_u16_k3" ;;
        median_k5) fn="${c}_median2d_u16_k5" ;;
        box_k3) fn="${c}_box2d_u16_k3" ;;
        gauss_k3) fn="${c}_gauss2d_u16_k3" ;;
        flypix_k3) fn="${c}_flypix_u16_k3" ;;
        fhole_k3) fn="${c}_fhole_u16_k3" ;;
        undistort_u16_binned) fn="${c}_calib_len_undistort_u16" ;;
        undistort_u16) fn="${c}_calib_len_undistort_u16" ;;
        undistort_f32) fn="${c}_calib_len_undistort_f32" ;;
    esac
    valgrind --tool=callgrind --callgrind-out-file="$out/cg" --collect-atstart=no \
        --toggle-collect="$fn" "$bench" --benchmark_filter="^${name}\$" \
        --benchmark_min_time=0 >/dev/null 2>&1
    ir="$(grep -m1 '^summary:' "$out/cg" | awk '{print $2}')"
    px="$pixels"
    [ "$kernel" = undistort_u16_binned ] && px=$((pixels / 4))  # binned by 2 both ways
    awk -v n="$name" -v ir="$ir" -v px="$px" 'BEGIN { printf "%-45s %8.1f\n", n, ir / px }'
done
