/* api.h - how every public header of the name-service library opens and
 * closes its declarations: with C linkage for C++ callers, and with default
 * visibility, so that what the headers declare is exported from
 * libnsclient.so however the library itself is compiled (it is compiled
 * with hidden visibility, and abi/libnsclient.map lists the same names).
 *
 *   #include "support/api.h"
 *   NS_API_BEGIN
 *   ...declarations...
 *   NS_API_END
 */
#ifndef SUPPORT_API_H
#define SUPPORT_API_H

#ifdef __cplusplus
#define NS_EXTERN_C_BEGIN_ extern "C" {
#define NS_EXTERN_C_END_ }
#else
#define NS_EXTERN_C_BEGIN_
#define NS_EXTERN_C_END_
#endif

#ifdef __GNUC__
#define NS_API_BEGIN NS_EXTERN_C_BEGIN_ _Pragma("GCC visibility push(default)")
#define NS_API_END _Pragma("GCC visibility pop") NS_EXTERN_C_END_
#else
#define NS_API_BEGIN NS_EXTERN_C_BEGIN_
#define NS_API_END NS_EXTERN_C_END_
#endif

#endif /* SUPPORT_API_H */
