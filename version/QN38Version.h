// The product's version and names, the one place they are written: every
// shipped binary's version resource includes this file, CMake and
// scripts/package read the numbers from it, and the package takes its
// version and manufacturer from here too.
#pragma once

#define QN38_VERSION_MAJOR 1
#define QN38_VERSION_MINOR 5
#define QN38_VERSION_BUILD 23
#define QN38_VERSION_REVISION 0

#define QN38_COMPANY_NAME "QN38 HotPlug Project"
#define QN38_PRODUCT_NAME "QN38 HotPlug"
#define QN38_COPYRIGHT "Copyright (C) QN38 HotPlug Project"

// The version resource's numbers, and its text as the tool has always
// spelt it ("1, 5, 23, 0"), which the About box shows.
#define QN38_VERSION_NUMBERS QN38_VERSION_MAJOR, QN38_VERSION_MINOR, QN38_VERSION_BUILD, QN38_VERSION_REVISION
#define QN38_STRINGIZE_(...) #__VA_ARGS__
#define QN38_STRINGIZE(...) QN38_STRINGIZE_(__VA_ARGS__)
#define QN38_VERSION_TEXT QN38_STRINGIZE(QN38_VERSION_NUMBERS)
