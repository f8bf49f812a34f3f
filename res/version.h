/* Mirrolet version and product details.
 *
 * Shared by mirrolet.rc (windres) and the C++ sources, so keep it to plain
 * #defines and ASCII text.  When bumping the version, change the numbers
 * and the display text together: the text is MAJOR.MINOR with two digits.
 */
#ifndef MIRROLET_VERSION_H
#define MIRROLET_VERSION_H

#define MIRROLET_VERSION_MAJOR 1
#define MIRROLET_VERSION_MINOR 0
#define MIRROLET_VERSION_PATCH 0
#define MIRROLET_VERSION_BUILD 0

/* Comma separated form for FILEVERSION / PRODUCTVERSION. */
#define MIRROLET_VERSION_NUMBERS \
    MIRROLET_VERSION_MAJOR, MIRROLET_VERSION_MINOR, \
    MIRROLET_VERSION_PATCH, MIRROLET_VERSION_BUILD

/* The version as people read it; the file and the product share it. */
#define MIRROLET_VERSION_TEXT "1.00"
#define MIRROLET_FILE_VERSION_TEXT MIRROLET_VERSION_TEXT
#define MIRROLET_PRODUCT_VERSION_TEXT MIRROLET_VERSION_TEXT

#define MIRROLET_COMPANY_NAME "Varnholt"
#define MIRROLET_PRODUCT_NAME "Mirrolet"
#define MIRROLET_INTERNAL_NAME "MirroletV2"
#define MIRROLET_ORIGINAL_FILENAME "MirroletV2.exe"

#endif /* MIRROLET_VERSION_H */
