#pragma once
typedef struct _acl* acl_t;
typedef enum { ACL_TYPE_EXTENDED = 0x00000100, ACL_TYPE_ACCESS = 0x00000000 } acl_type_t;
extern "C" {
acl_t acl_init(int count);
int acl_set_fd_np(int fd, acl_t acl, acl_type_t type);
int acl_free(void* obj_p);
}
