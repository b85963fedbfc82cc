// The real back-end libraries build with hidden visibility; only their
// contract symbols are marked for export.
#ifndef HX_PULSE_EXPORT_H
#define HX_PULSE_EXPORT_H
#define HX_PULSE_EXPORT __attribute__((visibility("default")))
#endif
