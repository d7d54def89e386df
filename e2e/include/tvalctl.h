/*
 * Control surface of the stand-in display control driver (tvalsim.sys).
 *
 * The driver serves the two devices the service talks to, \\.\TVALD and
 * \\.\TVALG, and a third device of its own, \\.\TVALCTL, through which the
 * end-to-end scripts set what the two devices answer and read back every
 * request they received. This header is shared by the driver and the test
 * tool, so it uses plain C types only.
 */
#ifndef TVALCTL_H
#define TVALCTL_H

/* CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define TVAL_CTL_CODE(function) (0x00220000u | ((function) << 2))

/* The two codes the service sends. */
#define TVAL_IOCTL_VALUE 0x222880u /* \\.\TVALD, function 0xA20 */
#define TVAL_IOCTL_QUERY 0x222940u /* \\.\TVALG, function 0xA50 */

/* Codes of \\.\TVALCTL. */
#define TVALCTL_GET_STATE TVAL_CTL_CODE(0x900u)    /* out: struct TvalState */
#define TVALCTL_SET_STATE TVAL_CTL_CODE(0x901u)    /* in: struct TvalState */
#define TVALCTL_GET_RECORD TVAL_CTL_CODE(0x902u)   /* out: struct TvalRecord */
#define TVALCTL_CLEAR_RECORD TVAL_CTL_CODE(0x903u) /* no buffers */

/* Bits of TvalState.flags. */
#define TVAL_FLAG_D_ABSENT 0x1u /* \DosDevices\TVALD link removed */
#define TVAL_FLAG_G_ABSENT 0x2u /* \DosDevices\TVALG link removed */
#define TVAL_FLAG_D_FAIL 0x4u   /* TVALD requests fail, buffer untouched */
#define TVAL_FLAG_G_FAIL 0x8u   /* TVALG requests fail, buffer untouched */

struct TvalState {
    unsigned int active;       /* the active selection TVALD holds */
    unsigned int target_index; /* byte 24 of the TVALG reply */
    unsigned int reply20;      /* 16-bit word at offset 20 of the reply */
    unsigned int reply22;      /* 16-bit word at offset 22 of the reply */
    unsigned int flags;        /* TVAL_FLAG_* */
};

/* Which device a recorded request reached. */
#define TVAL_DEV_D 1u
#define TVAL_DEV_G 2u

/* What kind of request it was. */
#define TVAL_REQ_CREATE 1u
#define TVAL_REQ_CLOSE 2u
#define TVAL_REQ_IOCTL 3u

#define TVAL_RECORD_DATA 40u     /* input bytes kept per request */
#define TVAL_RECORD_ENTRIES 48u  /* requests kept; later ones are counted */

struct TvalEntry {
    unsigned int device;  /* TVAL_DEV_* */
    unsigned int kind;    /* TVAL_REQ_* */
    unsigned int code;    /* control code, 0 for create and close */
    unsigned int in_len;  /* input length; share access for a create */
    unsigned int out_len; /* output length; create options for a create */
    unsigned char data[TVAL_RECORD_DATA];
};

struct TvalRecord {
    unsigned int count;   /* entries kept */
    unsigned int dropped; /* requests that no longer fitted */
    struct TvalEntry entries[TVAL_RECORD_ENTRIES];
};

#endif
