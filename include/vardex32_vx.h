/*
 * vardex32_vx.h - what Vardex adds to the classic contract of vardex32.h.
 *
 * Status codes a host written for the classic library has never seen; each
 * is still a failure (non-zero) and comes with a text in the command line.
 */
#ifndef VARDEX32_VX_H
#define VARDEX32_VX_H

/* An update names more files than an archive can hold (its entry counts are
 * 16-bit: at most 65,535 entries with those already in it).  Nothing has
 * been read or written. */
#define VxTooManyEntries 19907u

#endif /* VARDEX32_VX_H */
