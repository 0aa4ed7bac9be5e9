# A high-speed composite device: the CDC ECM pair (communication interface 0 with a 16-byte
# interrupt endpoint, data interface 1 with bulk endpoints of 512 bytes at alternate setting 1)
# followed by a vendor-specific interface 2 with bulk IN, bulk OUT and interrupt IN endpoints
# of its own. The ECM function's frames must never reach the vendor interface's endpoints.
device: 12 01 00 02 00 00 00 40 09 12 05 4e 00 01 01 02 00 01
config 0: 09 02 6e 00 03 01 00 c0 32 09 04 00 00 01 02 06 00 00 05 24 00 10 01 05 24 06 00 01 0d 24 0f 03 00 00 00 00 ea 05 00 00 00 07 05 81 03 10 00 08 09 04 01 00 00 0a 00 00 00 09 04 01 01 02 0a 00 00 00 07 05 82 02 00 02 00 07 05 02 02 00 02 00 09 04 02 00 03 ff ff ff 00 07 05 83 02 00 02 00 07 05 03 02 00 02 00 07 05 84 03 10 00 08
string 0: 04 03 09 04
string 1: 20 03 45 00 78 00 61 00 6d 00 70 00 6c 00 65 00 20 00 44 00 65 00 76 00 69 00 63 00 65 00 73 00
string 2: 26 03 43 00 6f 00 6d 00 70 00 6f 00 73 00 69 00 74 00 65 00 20 00 45 00 74 00 68 00 65 00 72 00 6e 00 65 00 74 00
string 3: 1a 03 30 00 32 00 43 00 30 00 46 00 46 00 45 00 45 00 30 00 30 00 30 00 31 00
