# Faults in the one-file setup: what it carries and how it finds it.
TESTS = 'tst_package'

FAULTS = [
    ('libplist not carried', 'scripts/package.sh', "  'libz\\.so.*' 'libexpat\\.so.*'", "  'libz\\.so.*' 'libexpat\\.so.*' 'libplist.*'"),
    ('no qt.conf', 'scripts/package.sh', "printf '[Paths]\\nPrefix = .\\nPlugins = plugins\\n' >\"$tree/qt.conf\"", ':'),
    ('squashfuse not carried', 'scripts/package.sh', 'cp -L /usr/bin/squashfuse "$tree/libexec/"\n', ''),
    ('system libraries first', 'scripts/package.sh', '  patchelf --force-rpath --set-rpath "$rpath" "$f"', '  patchelf --set-rpath "" "$f"'),
]
