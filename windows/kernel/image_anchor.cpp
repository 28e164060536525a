// Linked into every kernel image. The kernel always loads a driver away from
// its image base, so the image must carry a base relocation directory even
// when its code is all RIP-relative; this constant holds one 64-bit fixup.
extern "C" const void* const DvxImageAnchor;
extern "C" const void* const DvxImageAnchor = &DvxImageAnchor;
