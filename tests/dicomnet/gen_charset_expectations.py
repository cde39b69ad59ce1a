#!/usr/bin/python3
# Prints the expected UTF-8 texts of pydicom's character-set sample files as
# C++ table rows for test_charset.cc (run with Debian's /usr/bin/python3).
import pydicom, glob, os
from pydicom.charset import decode_bytes, convert_encodings
from pydicom.valuerep import PN_DELIMS, TEXT_VR_DELIMS
def lit(s):
    b = s.encode('utf-8'); out = ''; prev_hex = False
    for c in b:
        ch = chr(c)
        if 32 <= c < 127 and ch not in '"\\?':
            if prev_hex and ch in '0123456789abcdefABCDEF': out += '""'
            out += ch; prev_hex = False
        elif ch in '"\\':
            out += '\\' + ch; prev_hex = False
        else:
            out += '\\x%02x' % c; prev_hex = True
    return '"' + out + '"'
for f in sorted(glob.glob('/usr/lib/python3/dist-packages/pydicom/data/charset_files/chr*.dcm')):
    ds = pydicom.dcmread(f)
    scs = ds.get('SpecificCharacterSet')
    encodings = convert_encodings(scs if isinstance(scs, (list, pydicom.multival.MultiValue)) else [scs])
    raw = pydicom.dcmread(f, defer_size=None)
    for tag in ds.keys():
        e = ds[tag]
        if e.VR not in ('PN','LO','SH','LT','ST') or e.tag.is_private: continue
        rb = raw.get_item(tag).value
        if isinstance(rb, str): rb = rb.encode('latin1')
        rb = rb.rstrip(b' \x00')
        if not rb: continue
        delims = PN_DELIMS if e.VR == 'PN' else TEXT_VR_DELIMS
        if e.VR == 'PN':
            s = '\\'.join('='.join(decode_bytes(g, encodings, delims) for g in v.split(b'=')) for v in rb.split(b'\\'))
        elif e.VR in ('LT','ST'):
            s = decode_bytes(rb, encodings, delims)
        else:
            s = '\\'.join(decode_bytes(p, encodings, delims) for p in rb.split(b'\\'))
        print('    {"%s", 0x%04x, 0x%04x, %d, %s},' % (os.path.basename(f), e.tag.group, e.tag.element, 1 if e.VR=='PN' else 0, lit(s)))
