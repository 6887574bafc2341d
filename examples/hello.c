/* SPDX-License-Identifier: MIT */
/* Smallest host program: reports the library version and what an
 * unconnected instance answers. */
#include <stdio.h>

#include "ktremote.h"

int main(void)
{
    char version[16];
    KTXInstance* instance = NULL;
    size_t count = 0;
    KX_ERROR_CODE result;

    ktconGetVersion(version, sizeof version);
    printf("ktremote %s\n", version);

    ktconCreateInstance(&instance, 1);
    result = ktconGetChannelCount(instance, &count);
    printf("channel count on an unconnected instance: result %d (%s)\n", (int)result,
           result == KX_ERR_NOT_CONNECTED ? "KX_ERR_NOT_CONNECTED" : "unexpected");
    ktconDestroyInstance(instance);
    return result == KX_ERR_NOT_CONNECTED ? 0 : 1;
}
