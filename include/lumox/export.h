/*
 * liblumox: export and linkage macros shared by every public header.
 *
 * Conventions of the C interface (all headers):
 *  - Every function is plain C with C linkage and is marked LUMOX_API.
 *  - Records are plain C structs; the caller owns what it passes in, the library owns what it
 *    returns unless a function says otherwise.
 *  - Device calls return non-zero for success and 0 for failure, or a count; capture polling calls
 *    return a negative code on failure; firmware and data calls return 1 or -1.
 *  - No call throws; no C++ type crosses these headers. In C++ every function is declared
 *    noexcept (LUMOX_NOEXCEPT), and the library's definitions must say so too, so an exception
 *    that escaped a call would end the process at the boundary instead of unwinding into C.
 */
#ifndef LUMOX_EXPORT_H
#define LUMOX_EXPORT_H

#if defined(_WIN32)
#if defined(LUMOX_BUILDING)
#define LUMOX_API __declspec(dllexport)
#else
#define LUMOX_API __declspec(dllimport)
#endif
#else
#define LUMOX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define LUMOX_BEGIN_DECLS extern "C" {
#define LUMOX_END_DECLS }
#define LUMOX_NOEXCEPT noexcept
#else
#define LUMOX_BEGIN_DECLS
#define LUMOX_END_DECLS
#define LUMOX_NOEXCEPT
#endif

#if defined(__GNUC__)
#define LUMOX_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define LUMOX_PRINTF(fmt_index, first_arg)
#endif

#endif /* LUMOX_EXPORT_H */
