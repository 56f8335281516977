/* le_core: the export marker shared by every public header. Symbols marked
 * LE_API are the library's interface; everything else is hidden when the
 * library is built. */
#ifndef LE_LE_API_H
#define LE_LE_API_H

#ifndef LE_API
#if defined(LE_BUILDING_LIBRARY)
#define LE_API __attribute__((visibility("default")))
#else
#define LE_API
#endif
#endif

#endif /* LE_LE_API_H */
