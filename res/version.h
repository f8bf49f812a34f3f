/* Mirrolet version and product details.
 *
 * Shared by mirrolet.rc (windres) and the C++ sources, so keep it to plain
 * #defines and ASCII text.  When bumping the version, change the numbers
 * and the two display strings together.
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

#define MIRROLET_FILE_VERSION_TEXT "1.00"
#define MIRROLET_PRODUCT_VERSION_TEXT "1.00"

#define MIRROLET_COMPANY_NAME "Varnholt"
#define MIRROLET_PRODUCT_NAME "Mirrolet"
#define MIRROLET_INTERNAL_NAME "MirroletV2"
#define MIRROLET_ORIGINAL_FILENAME "MirroletV2.exe"

#endif /* MIRROLET_VERSION_H */
