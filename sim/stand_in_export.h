/* The stand-in libraries build with hidden visibility; their contract
 * symbols are the only ones marked for export. */
#ifndef HXSIM_STAND_IN_EXPORT_H
#define HXSIM_STAND_IN_EXPORT_H
#define HX_STANDIN_EXPORT __attribute__((visibility("default")))
#endif
