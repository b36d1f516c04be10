/* The runtime library's bulk: BULK_FILE (x86-64 code of other libraries) as a
   read-only section of its own. */
    .section .bulk,"dr"
    .incbin BULK_FILE
