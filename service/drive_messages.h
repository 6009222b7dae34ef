// The texts the conversions and drive operations leave in LastMessage,
// exactly as the desktop program shows them.
#pragma once

#define MSG_CANT_OPEN_DRIVE "Can't take open this drive, plese check if this drive is accessable! "
#define MSG_CANT_GET_DRIVE_INFO "Can't take this drive's information, plese check if this drive is accessable! "
#define MSG_CANT_LOCK "Can't lock this device, plese check if some application using it! "
#define MSG_CANT_UNLOCK_QUICK_ENCRYPT "Can't lock this device, please check if some application using it! "
#define MSG_PROCESS_ERROR "Tarnvault has encounter an error %X while process this drive !"
#define MSG_READ_ERROR "Tarnvault has encounter an error %X while reading this drive !"
#define MSG_WRITE_ERROR "Tarnvault has encounter an error %X while writing this drive !"
#define MSG_ENCRYPT_COMPLETION "Encrypt completion error :%X"
#define MSG_DECRYPT_COMPLETION "Decrypt completion error :%X"
#define MSG_QUICK_DECRYPT_COMPLETION "decrypt completion error :%X"
#define MSG_OPEN_FILE_ERROR "Tarnvault has encounter an error %X while opening this file !"
