/* libntdll.so: OS version numbers, loaded by name at run time. */
#ifndef HX_NTDLL_H
#define HX_NTDLL_H
#include <stdint.h>
#ifdef __cplusplus
extern "C" {
#endif
typedef void (*RtlGetNtVersionNumbers_t)(uint32_t *major, uint32_t *minor, uint32_t *build);
#ifdef HX_NTDLL_IMPLEMENTATION
void RtlGetNtVersionNumbers(uint32_t *major, uint32_t *minor, uint32_t *build);
#endif
#ifdef __cplusplus
}
#endif
#endif
