"""vorlane-pack, module by module; tools/vorlane-pack is the entry point.

    messages    its errors and progress lines
    pe_image    the launcher's and the runtime library's PE headers
    programs    the helper programs and where they are found
    resources   the texts, icon and version block written at pack time
    signing     the runtime library's signature (osslsigncode)
    archive     the 7z archive behind the image, and the file's PE checksum
    checks      the inputs, free space and vorlane-inspect's verdict
    packing     the whole sequence, from the inputs to the renamed output
    cli         the command line
"""
