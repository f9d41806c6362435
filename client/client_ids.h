/* Control identifiers of the client window, shared by its code and its
 * resource script. Plain C preprocessor only: the resource compiler reads
 * this file too, so it holds nothing but #defines. */
#ifndef CONF_CLIENT_IDS_H
#define CONF_CLIENT_IDS_H

/* Buttons. The exit button is 1 so that it shares IDOK's command. */
#define IDC_EXIT 1
#define IDC_SEND 101
#define IDC_JOIN 103

/* Edit fields. */
#define IDC_INPUT 201
#define IDC_LOG 202
#define IDC_NAME 203
#define IDC_SERVER 204
#define IDC_PORT 205

#endif /* CONF_CLIENT_IDS_H */
