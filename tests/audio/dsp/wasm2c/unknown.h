/* A header whose module instance is not declared in any form the glue knows. */
typedef void *rnnoise_handle;
rnnoise_handle rnnoise_open(void);
